// The single-instance guard, apart from any application object: one instance per user (or per
// machine) is the primary; a small shared memory record names it, and the primary's local server
// takes messages from later starts. The constructor decides the role; a refused start ends the
// process there. Needs a QCoreApplication (no display), so the headless mode can use it too.
// Thread rules: GUI (main) thread only; both signals are emitted on it.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class SingleApplicationPrivate;

class InstanceGuard : public QObject {
    Q_OBJECT

public:
    enum Option : quint8 {
        PerUser = 1 << 0,            // the key includes the user name; else machine-wide
        NotifyOnSecondary = 1 << 2,  // a secondary announces itself to the primary
        IgnoreVersion = 1 << 3,      // the application version is not part of the key
        IgnorePath = 1 << 4,         // the executable's path is not part of the key
    };
    Q_DECLARE_FLAGS(Options, Option)

    // allowSecondary: a start that finds a primary stays alive as a secondary (so it can pass a
    // message) instead of exiting with 0. timeoutMs bounds each connection to the primary.
    explicit InstanceGuard(bool allowSecondary = false, Options options = PerUser,
                           int timeoutMs = 1000, QObject* parent = nullptr);
    ~InstanceGuard() override;

    bool runsAsSecondary() const;
    // 0 for the primary, the secondary count at its start for a secondary.
    quint32 instanceId() const;
    // The key of the shared record and name of the primary's server, derived from the
    // application's identity (set it before construction) and, per user, the user name.
    QString instanceKey() const;
    // Sends raw bytes to the primary on a (re)connected socket; false in the primary, when the
    // primary cannot be reached or the bytes were not written within timeoutMs.
    bool sendToPrimary(const QByteArray& message, int timeoutMs);

    // The key the guard derives from the current application identity.
    static QString deriveInstanceKey(Options options);

signals:
    void instanceStarted();
    void receivedMessage(quint32 instanceId, QByteArray message);

private:
    friend class SingleApplicationPrivate;
    std::unique_ptr<SingleApplicationPrivate> d_;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(InstanceGuard::Options)
