// QApplication with the single-instance guard (InstanceGuard) built in: the constructor decides
// the role, and a refused start ends the process there.
// Thread rules: GUI thread only; both signals are emitted on it.
#pragma once

#include <QApplication>
#include <QByteArray>

#include <memory>

#include "app/instanceguard.h"

class SingleApplication : public QApplication {
    Q_OBJECT

public:
    using Option = InstanceGuard::Option;
    using Options = InstanceGuard::Options;
    static constexpr Option PerUser = InstanceGuard::PerUser;
    static constexpr Option NotifyOnSecondary = InstanceGuard::NotifyOnSecondary;
    static constexpr Option IgnoreVersion = InstanceGuard::IgnoreVersion;
    static constexpr Option IgnorePath = InstanceGuard::IgnorePath;

    // See InstanceGuard.
    SingleApplication(int& argc, char** argv, bool allowSecondary = false,
                      Options options = PerUser, int timeoutMs = 1000);
    ~SingleApplication() override;

    bool runsAsSecondary() const { return guard_->runsAsSecondary(); }
    quint32 instanceId() const { return guard_->instanceId(); }
    QString instanceKey() const { return guard_->instanceKey(); }
    bool sendToPrimary(const QByteArray& message, int timeoutMs) {
        return guard_->sendToPrimary(message, timeoutMs);
    }
    static QString deriveInstanceKey(Options options) {
        return InstanceGuard::deriveInstanceKey(options);
    }

signals:
    void instanceStarted();
    void receivedMessage(quint32 instanceId, QByteArray message);

private:
    std::unique_ptr<InstanceGuard> guard_;
};
