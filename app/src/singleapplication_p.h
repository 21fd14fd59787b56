// Inner workings of InstanceGuard: the shared instance record, the primary's local server
// and the client connection of a later start.
// Thread rules: GUI thread only.
#pragma once

#include <QHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QSharedMemory>

#include <cstddef>
#include <memory>

#include "app/instanceguard.h"

// The record every instance reads and updates under the shared memory's lock. Its layout is
// shared with other builds of the program, so it is fixed byte for byte.
struct InstanceRecord {
    bool primary;
    quint32 secondary;
    qint64 primaryPid;
    char primaryUser[128];
    quint16 checksum;
};
static_assert(sizeof(InstanceRecord) == 152, "instance record layout");
static_assert(offsetof(InstanceRecord, secondary) == 4, "instance record layout");
static_assert(offsetof(InstanceRecord, primaryPid) == 8, "instance record layout");
static_assert(offsetof(InstanceRecord, primaryUser) == 16, "instance record layout");
static_assert(offsetof(InstanceRecord, checksum) == 144, "instance record layout");

class SingleApplicationPrivate : public QObject {
    Q_OBJECT

public:
    enum ConnectionKind : quint8 { NewInstance = 1, SecondaryInstance = 2, Reconnect = 3 };
    enum Stage : quint8 { StageHeader = 0, StageBody = 1, StageConnected = 2 };
    struct ConnectionInfo {
        quint64 msgLen = 0;
        quint32 instanceId = 0;
        quint8 stage = StageHeader;
    };

    SingleApplicationPrivate(InstanceGuard* q, InstanceGuard::Options options, int timeoutMs);
    ~SingleApplicationPrivate() override;

    // Settles the role. Returns -1 when the process goes on (primary or secondary), otherwise
    // the exit code the process must end with.
    int start(bool allowSecondary);
    bool connectToPrimary(int timeoutMs, ConnectionKind kind);

    static QString userName();
    static void randomSleep();

    InstanceGuard* q_;
    std::unique_ptr<QSharedMemory> memory_;
    std::unique_ptr<QLocalSocket> socket_;
    std::unique_ptr<QLocalServer> server_;
    quint32 instanceNumber_ = 0;
    QString key_;
    InstanceGuard::Options options_;
    int timeoutMs_;
    QHash<QLocalSocket*, ConnectionInfo> connections_;

private:
    InstanceRecord* record() const;
    static quint16 recordChecksum(const InstanceRecord* rec);
    void resetRecord();
    bool primaryIsGone(const InstanceRecord* rec);
    void becomePrimary();
    int abortStart();

    void onNewConnection();
    void onReadyRead(QLocalSocket* sock);
    void readHeader(QLocalSocket* sock, ConnectionInfo& info);
    void readBody(QLocalSocket* sock, ConnectionInfo& info);
    void dropClient(QLocalSocket* sock);
};
