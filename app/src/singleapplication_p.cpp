#include "singleapplication_p.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstring>

#include "instancemessage.h"
#include "platform/system.h"

namespace {

constexpr qint64 kInconsistentLimitMs = 5000;
constexpr int kCreateAttempts = 3;
// A client that has not identified itself by then is dropped.
constexpr int kInitDeadlineMs = 5000;

int remainingMs(int timeoutMs, const QElapsedTimer& timer) {
    return std::max(1, timeoutMs - static_cast<int>(timer.elapsed()));
}

}  // namespace

SingleApplicationPrivate::SingleApplicationPrivate(InstanceGuard* q, InstanceGuard::Options options,
                                                   int timeoutMs)
    : q_(q), options_(options), timeoutMs_(timeoutMs) {}

SingleApplicationPrivate::~SingleApplicationPrivate() {
    if (socket_) {
        socket_->close();
        socket_.reset();
    }
    if (!memory_ || !memory_->isAttached()) return;
    const bool locked = memory_->lock();
    if (server_) {
        for (QLocalSocket* sock : connections_.keys()) sock->disconnect(this);
        connections_.clear();
        server_->close();
        server_.reset();
        InstanceRecord* rec = record();
        // Someone may have taken over from us while we were unreachable; leave their entry.
        if (rec->primary && rec->primaryPid == QCoreApplication::applicationPid()) {
            rec->primary = false;
            rec->primaryPid = -1;
            rec->primaryUser[0] = '\0';
            rec->checksum = recordChecksum(rec);
        }
    }
    if (locked) memory_->unlock();
    memory_.reset();
}

QString SingleApplicationPrivate::userName() {
    return QString::fromStdString(platform::userName());
}

void SingleApplicationPrivate::randomSleep() {
    QRandomGenerator gen(
        static_cast<quint32>(QDateTime::currentMSecsSinceEpoch() % Q_INT64_C(4294967295)));
    QThread::msleep(8 + gen.bounded(11));
}

InstanceRecord* SingleApplicationPrivate::record() const {
    return static_cast<InstanceRecord*>(memory_->data());
}

quint16 SingleApplicationPrivate::recordChecksum(const InstanceRecord* rec) {
    return qChecksum(reinterpret_cast<const char*>(rec), offsetof(InstanceRecord, checksum));
}

void SingleApplicationPrivate::resetRecord() {
    InstanceRecord* rec = record();
    std::memset(rec, 0, sizeof(InstanceRecord));
    rec->primary = false;
    rec->secondary = 0;
    rec->primaryPid = -1;
    rec->primaryUser[0] = '\0';
    rec->checksum = recordChecksum(rec);
}

int SingleApplicationPrivate::abortStart() {
    qCritical("SingleApplication: %d %s", static_cast<int>(memory_->error()),
              qUtf8Printable(memory_->errorString()));
    return 1;
}

int SingleApplicationPrivate::start(bool allowSecondary) {
    key_ = InstanceGuard::deriveInstanceKey(options_);
    randomSleep();

    memory_ = std::make_unique<QSharedMemory>(key_);
    // The last holder may remove the block between our create and attach; then create again.
    for (int attempt = 1;; ++attempt) {
        if (memory_->create(sizeof(InstanceRecord), QSharedMemory::ReadWrite)) {
            if (!memory_->lock()) {
                qCritical("SingleApplication: Unable to lock memory block after create.");
                return abortStart();
            }
            resetRecord();
            break;
        }
        if (memory_->error() != QSharedMemory::AlreadyExists) {
            qCritical("SingleApplication: Unable to create block.");
            return abortStart();
        }
        if (memory_->attach(QSharedMemory::ReadWrite)) {
            // A block left by an older layout is too small to hold the record.
            if (memory_->size() < static_cast<int>(sizeof(InstanceRecord))) {
                qCritical("SingleApplication: Unable to attach to shared memory block.");
                return abortStart();
            }
            if (!memory_->lock()) {
                qCritical("SingleApplication: Unable to lock memory block after attach.");
                return abortStart();
            }
            break;
        }
        if (memory_->error() != QSharedMemory::NotFound || attempt == kCreateAttempts) {
            qCritical("SingleApplication: Unable to attach to shared memory block.");
            return abortStart();
        }
        randomSleep();
    }

    // A writer that died halfway leaves a bad checksum; give live writers time, then start over.
    QElapsedTimer timer;
    timer.start();
    while (record()->checksum != recordChecksum(record())) {
        if (timer.elapsed() > kInconsistentLimitMs) {
            qWarning(
                "SingleApplication: Shared memory block has been in an inconsistent state from "
                "more than 5s. Assuming primary instance failure.");
            resetRecord();
        }
        if (!memory_->unlock())
            qDebug("SingleApplication: Unable to unlock memory for random wait. %s",
                   qUtf8Printable(memory_->errorString()));
        randomSleep();
        if (!memory_->lock()) {
            qCritical("SingleApplication: Unable to lock memory after random wait.");
            return abortStart();
        }
    }

    InstanceRecord* rec = record();
    if (!rec->primary || primaryIsGone(rec)) {
        becomePrimary();
        if (!memory_->unlock())
            qDebug("SingleApplication: Unable to unlock memory after primary start. %s",
                   qUtf8Printable(memory_->errorString()));
        return -1;
    }

    if (allowSecondary) {
        rec->secondary += 1;
        rec->checksum = recordChecksum(rec);
        instanceNumber_ = rec->secondary;
        if (options_.testFlag(InstanceGuard::NotifyOnSecondary))
            connectToPrimary(timeoutMs_, SecondaryInstance);
        if (!memory_->unlock())
            qDebug("SingleApplication: Unable to unlock memory after secondary start. %s",
                   qUtf8Printable(memory_->errorString()));
        return -1;
    }

    if (!memory_->unlock())
        qDebug("SingleApplication: Unable to unlock memory at end of execution. %s",
               qUtf8Printable(memory_->errorString()));
    connectToPrimary(timeoutMs_, NewInstance);
    return 0;
}

// A crashed primary leaves its record behind (the block outlives it), which would turn every
// later start into a secondary. The record is trusted only while its process lives and its
// server takes connections.
bool SingleApplicationPrivate::primaryIsGone(const InstanceRecord* rec) {
    const qint64 pid = rec->primaryPid;
    if (pid == QCoreApplication::applicationPid() || !platform::processExists(pid)) {
        qWarning("SingleApplication: Primary instance %lld is gone, taking over.",
                 static_cast<long long>(pid));
        return true;
    }
    QLocalSocket probe;
    probe.connectToServer(key_, QIODevice::ReadWrite);
    if (probe.waitForConnected(timeoutMs_)) {
        probe.abort();
        return false;
    }
    const auto error = probe.error();
    if (error == QLocalSocket::ServerNotFoundError ||
        error == QLocalSocket::ConnectionRefusedError) {
        qWarning("SingleApplication: Primary instance %lld does not answer, taking over.",
                 static_cast<long long>(pid));
        return true;
    }
    return false;
}

void SingleApplicationPrivate::becomePrimary() {
    InstanceRecord* rec = record();
    rec->primary = true;
    rec->primaryPid = QCoreApplication::applicationPid();
    qstrncpy(rec->primaryUser, userName().toUtf8().constData(), sizeof(rec->primaryUser));
    rec->checksum = recordChecksum(rec);
    instanceNumber_ = 0;

    QLocalServer::removeServer(key_);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(options_.testFlag(InstanceGuard::PerUser)
                                  ? QLocalServer::UserAccessOption
                                  : QLocalServer::WorldAccessOption);
    if (!server_->listen(key_))
        qWarning("SingleApplication: Unable to listen: %s", qUtf8Printable(server_->errorString()));
    connect(server_.get(), &QLocalServer::newConnection, this,
            &SingleApplicationPrivate::onNewConnection);
}

bool SingleApplicationPrivate::connectToPrimary(int timeoutMs, ConnectionKind kind) {
    QElapsedTimer timer;
    timer.start();
    if (!socket_) socket_ = std::make_unique<QLocalSocket>();
    if (socket_->state() == QLocalSocket::ConnectedState) return true;

    for (;;) {
        randomSleep();
        if (socket_->state() != QLocalSocket::ConnectingState)
            socket_->connectToServer(key_, QIODevice::ReadWrite);
        if (socket_->state() == QLocalSocket::ConnectingState)
            socket_->waitForConnected(remainingMs(timeoutMs, timer));
        if (socket_->state() == QLocalSocket::ConnectedState) break;
        if (timer.elapsed() >= timeoutMs) return false;
    }

    socket_->write(
        instancemessage::write(key_.toLatin1(), static_cast<quint8>(kind), instanceNumber_));
    const bool written = socket_->waitForBytesWritten(remainingMs(timeoutMs, timer));
    socket_->flush();
    return written;
}

void SingleApplicationPrivate::onNewConnection() {
    while (QLocalSocket* sock = server_->nextPendingConnection()) {
        connections_.insert(sock, ConnectionInfo{});
        connect(sock, &QLocalSocket::readyRead, this, [this, sock] { onReadyRead(sock); });
        connect(sock, &QLocalSocket::aboutToClose, this, [this, sock] {
            // Only an identified client's last bytes are a message.
            const auto it = connections_.constFind(sock);
            if (it != connections_.constEnd() && it->stage == StageConnected &&
                sock->bytesAvailable() > 0)
                emit q_->receivedMessage(it->instanceId, sock->readAll());
        });
        connect(sock, &QLocalSocket::disconnected, this, [this, sock] {
            connections_.remove(sock);
            sock->deleteLater();
        });
        QTimer::singleShot(kInitDeadlineMs, sock, [this, sock] {
            const auto it = connections_.constFind(sock);
            if (it != connections_.constEnd() && it->stage != StageConnected) dropClient(sock);
        });
        if (sock->bytesAvailable() > 0) onReadyRead(sock);
    }
}

void SingleApplicationPrivate::onReadyRead(QLocalSocket* sock) {
    auto it = connections_.find(sock);
    if (it == connections_.end()) return;
    switch (it->stage) {
        case StageHeader:
            readHeader(sock, *it);
            break;
        case StageBody:
            readBody(sock, *it);
            break;
        default:
            emit q_->receivedMessage(it->instanceId, sock->readAll());
            break;
    }
}

void SingleApplicationPrivate::readHeader(QLocalSocket* sock, ConnectionInfo& info) {
    if (sock->bytesAvailable() < instancemessage::kHeaderBytes) return;
    info.msgLen = instancemessage::readLength(sock->read(instancemessage::kHeaderBytes));
    if (info.msgLen == 0) {
        dropClient(sock);
        return;
    }
    info.stage = StageBody;
    if (sock->bytesAvailable() >= static_cast<qint64>(info.msgLen)) readBody(sock, info);
}

void SingleApplicationPrivate::readBody(QLocalSocket* sock, ConnectionInfo& info) {
    if (sock->bytesAvailable() < static_cast<qint64>(info.msgLen)) return;
    instancemessage::Init init;
    if (!instancemessage::readInit(sock->read(static_cast<qint64>(info.msgLen)), key_.toLatin1(),
                                   &init)) {
        dropClient(sock);
        return;
    }
    info.instanceId = init.instanceId;
    info.stage = StageConnected;
    if (init.kind == NewInstance ||
        (init.kind == SecondaryInstance && options_.testFlag(InstanceGuard::NotifyOnSecondary)))
        emit q_->instanceStarted();
    if (sock->bytesAvailable() > 0) emit q_->receivedMessage(init.instanceId, sock->readAll());
}

void SingleApplicationPrivate::dropClient(QLocalSocket* sock) {
    connections_.remove(sock);
    sock->disconnect(this);
    sock->abort();
    sock->deleteLater();
}
