#include "kivobridge/log.h"

#include "app/shutdownsignals.h"

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <csignal>

namespace {

// Written by the signal handler, so only a lock-free atomic store happens there.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "signal flag must be lock-free");

constexpr int kPollMs = 50;

extern "C" void onShutdownSignal(int sig) {
    g_signal.store(sig, std::memory_order_relaxed);
}

}  // namespace

void ShutdownSignals::install() {
    std::signal(SIGTERM, onShutdownSignal);
    std::signal(SIGINT, onShutdownSignal);
}

bool ShutdownSignals::requested() {
    return g_signal.load(std::memory_order_relaxed) != 0;
}

ShutdownSignals::ShutdownSignals(QObject* parent) : QObject(parent), timer_(new QTimer(this)) {
    // Polling keeps this free of OS descriptors; 50 ms is well below what a user or a service
    // manager notices.
    connect(timer_, &QTimer::timeout, this, &ShutdownSignals::poll);
    timer_->start(kPollMs);
}

void ShutdownSignals::poll() {
    const int sig = g_signal.load(std::memory_order_relaxed);
    if (sig == 0) return;
    timer_->stop();
    LOGI("Signal %d received, shutting down", sig);
    QCoreApplication::exit(0);
}
