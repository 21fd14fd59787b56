#include "app/instanceguard.h"

#include <QCoreApplication>
#include <QCryptographicHash>

#include <cstdlib>

#include "singleapplication_p.h"

InstanceGuard::InstanceGuard(bool allowSecondary, Options options, int timeoutMs, QObject* parent)
    : QObject(parent), d_(std::make_unique<SingleApplicationPrivate>(this, options, timeoutMs)) {
    const int exitCode = d_->start(allowSecondary);
    if (exitCode >= 0) {
        d_.reset();
        std::exit(exitCode);
    }
}

InstanceGuard::~InstanceGuard() = default;

bool InstanceGuard::runsAsSecondary() const {
    return !d_->server_;
}

quint32 InstanceGuard::instanceId() const {
    return d_->instanceNumber_;
}

QString InstanceGuard::instanceKey() const {
    return d_->key_;
}

bool InstanceGuard::sendToPrimary(const QByteArray& message, int timeoutMs) {
    if (d_->server_) return false;
    if (!d_->connectToPrimary(timeoutMs, SingleApplicationPrivate::Reconnect)) return false;
    d_->socket_->write(message);
    const bool written = d_->socket_->waitForBytesWritten(timeoutMs);
    d_->socket_->flush();
    return written;
}

QString InstanceGuard::deriveInstanceKey(Options options) {
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
