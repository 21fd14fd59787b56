#include "app/singleapplication.h"

SingleApplication::SingleApplication(int& argc, char** argv, bool allowSecondary, Options options,
                                     int timeoutMs)
    : QApplication(argc, argv),
      guard_(std::make_unique<InstanceGuard>(allowSecondary, options, timeoutMs)) {
    connect(guard_.get(), &InstanceGuard::instanceStarted, this,
            &SingleApplication::instanceStarted);
    connect(guard_.get(), &InstanceGuard::receivedMessage, this,
            &SingleApplication::receivedMessage);
}

SingleApplication::~SingleApplication() = default;
