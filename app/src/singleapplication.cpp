#include "app/singleapplication.h"

#include <QCryptographicHash>

#include <cstdlib>

#include "singleapplication_p.h"

SingleApplication::SingleApplication(int& argc, char** argv, bool allowSecondary, Options options,
                                     int timeoutMs)
    : QApplication(argc, argv),
      d_(std::make_unique<SingleApplicationPrivate>(this, options, timeoutMs)) {
    const int exitCode = d_->start(allowSecondary);
    if (exitCode >= 0) {
        d_.reset();
        std::exit(exitCode);
    }
}

SingleApplication::~SingleApplication() = default;

bool SingleApplication::runsAsSecondary() const {
    return !d_->server_;
}

quint32 SingleApplication::instanceId() const {
    return d_->instanceNumber_;
}

QString SingleApplication::instanceKey() const {
    return d_->key_;
}

bool SingleApplication::sendToPrimary(const QByteArray& message, int timeoutMs) {
    if (d_->server_) return false;
    if (!d_->connectToPrimary(timeoutMs, SingleApplicationPrivate::Reconnect)) return false;
    d_->socket_->write(message);
    const bool written = d_->socket_->waitForBytesWritten(timeoutMs);
    d_->socket_->flush();
    return written;
}

QString SingleApplication::deriveInstanceKey(Options options) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData("SingleApplication", 17);
    hash.addData(QCoreApplication::applicationName().toUtf8());
    hash.addData(QCoreApplication::organizationName().toUtf8());
    hash.addData(QCoreApplication::organizationDomain().toUtf8());
    if (!options.testFlag(IgnoreVersion))
        hash.addData(QCoreApplication::applicationVersion().toUtf8());
    if (!options.testFlag(IgnorePath))
        hash.addData(QCoreApplication::applicationFilePath().toLower().toUtf8());
    if (options.testFlag(PerUser)) hash.addData(SingleApplicationPrivate::userName().toUtf8());
    return QString::fromLatin1(hash.result().toBase64().replace('/', '_'));
}
