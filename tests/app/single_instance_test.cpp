// Single-instance guard with real processes: every instance is a probe process, the record is a
// real shared memory block and messages travel over the real local socket.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDataStream>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QSharedMemory>
#include <QSystemSemaphore>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "probe_process.h"

using apptest::ChildProcess;

namespace {

// Each test uses an application name of its own, so no two tests (and no earlier run) share a
// record or a server.
QString uniqueName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return QStringLiteral("probe-%1-%2-%3")
        .arg(QCoreApplication::applicationPid())
        .arg(QString::fromLatin1(info->name()))
        .arg(QDateTime::currentMSecsSinceEpoch());
}

std::unique_ptr<ChildProcess> startGuard(const QString& name, const QStringList& extra = {}) {
    return std::make_unique<ChildProcess>(apptest::probePath(), QStringList{"guard", name} + extra);
}

QString keyFor(const QString& name) {
    ChildProcess probe(apptest::probePath(), {"key", name});
    probe.waitForExit(10000);
    const QStringList lines = probe.lines();
    return lines.isEmpty() ? QString() : lines.last().trimmed();
}

// Record layout as other builds see it: byte offsets, not our struct.
struct RawRecord {
    bool primary = false;
    quint32 secondary = 0;
    qint64 pid = -1;
    QByteArray user;
    bool consistent = false;
};

void writeRecord(QSharedMemory& shm, bool primary, quint32 secondary, qint64 pid,
                 const QByteArray& user, bool goodChecksum) {
    char* p = static_cast<char*>(shm.data());
    std::memset(p, 0, 152);
    p[0] = primary ? 1 : 0;
    std::memcpy(p + 4, &secondary, 4);
    std::memcpy(p + 8, &pid, 8);
    std::memcpy(p + 16, user.constData(), std::min(user.size(), 127));
    quint16 sum = qChecksum(p, 144);
    if (!goodChecksum) sum ^= 0x5a5a;
    std::memcpy(p + 144, &sum, 2);
}

RawRecord readRecord(QSharedMemory& shm) {
    const char* p = static_cast<const char*>(shm.data());
    RawRecord r;
    r.primary = p[0] != 0;
    std::memcpy(&r.secondary, p + 4, 4);
    std::memcpy(&r.pid, p + 8, 8);
    r.user = QByteArray(p + 16);
    quint16 sum;
    std::memcpy(&sum, p + 144, 2);
    r.consistent = sum == qChecksum(p, 144);
    return r;
}

// Header and init message exactly as a later start sends them.
QByteArray initMessage(const QByteArray& key, quint8 kind, quint32 id, bool goodChecksum = true) {
    QByteArray body;
    {
        QDataStream out(&body, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_5_6);
        out << key << kind << id;
        quint16 sum = qChecksum(body.constData(), static_cast<uint>(body.size()));
        out << static_cast<quint16>(goodChecksum ? sum : sum ^ 1);
    }
    QByteArray header;
    {
        QDataStream out(&header, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_5_6);
        out << static_cast<quint64>(body.size());
    }
    return header + body;
}

// Sends raw bytes to the primary's server; true when the server then dropped the connection.
bool sendRaw(const QString& key, const QList<QByteArray>& writes, int dropWaitMs) {
    QLocalSocket sock;
    sock.connectToServer(key);
    if (!sock.waitForConnected(2000)) return false;
    for (const QByteArray& w : writes) {
        sock.write(w);
        sock.waitForBytesWritten(1000);
        QThread::msleep(30);
    }
    if (dropWaitMs <= 0) {
        sock.disconnectFromServer();
        return false;
    }
    return sock.state() == QLocalSocket::UnconnectedState || sock.waitForDisconnected(dropWaitMs);
}

int countLines(ChildProcess& p, const QString& text) {
    int n = 0;
    for (const QString& line : p.lines()) n += line.contains(text) ? 1 : 0;
    return n;
}

// A killed holder leaves the lock's semaphore behind; remove it with the test.
void removeSemaphore(const QString& key) {
    QSystemSemaphore(key, 1, QSystemSemaphore::Create);
}

}  // namespace

// Starts racing for the record must never produce two primaries or none.
TEST(SingleInstance, SimultaneousStartsGiveExactlyOnePrimary) {
    for (int round = 0; round < 4; ++round) {
        const QString name = uniqueName() + QString::number(round);
        std::vector<std::unique_ptr<ChildProcess>> probes;
        for (int i = 0; i < 3; ++i) probes.push_back(startGuard(name));
        int primaries = 0;
        QList<int> secondaryIds;
        for (auto& p : probes) {
            const QString role = p->waitForLine("role ", 10000);
            ASSERT_FALSE(role.isNull()) << p->lines().join('\n').toStdString();
            if (role.startsWith("role primary")) {
                ++primaries;
            } else {
                secondaryIds << role.section(' ', 2).toInt();
                EXPECT_TRUE(p->waitForExit(5000));
                EXPECT_EQ(p->exitCode(), 0);
            }
        }
        EXPECT_EQ(primaries, 1) << "round " << round;
        std::sort(secondaryIds.begin(), secondaryIds.end());
        EXPECT_EQ(secondaryIds, (QList<int>{1, 2}));
        for (auto& p : probes) p->terminate();
        for (auto& p : probes) EXPECT_TRUE(p->waitForExit(5000));
    }
}

// Starts that overlap the old primary's shutdown (record cleared, block removed meanwhile)
// must end up primary or secondary, never fail or hang.
TEST(SingleInstance, StartDuringPrimaryExitNeverFails) {
    const QString name = uniqueName();
    auto current = startGuard(name);
    ASSERT_FALSE(current->waitForLine("role primary", 10000).isNull());
    for (int round = 0; round < 5; ++round) {
        current->terminate();
        auto next = startGuard(name);
        ASSERT_TRUE(current->waitForExit(5000));
        const QString role = next->waitForLine("role ", 10000);
        ASSERT_FALSE(role.isNull()) << next->lines().join('\n').toStdString();
        EXPECT_FALSE(next->hasLine("Unable to"));
        if (role.startsWith("role secondary")) {
            EXPECT_TRUE(next->waitForExit(5000));
            EXPECT_EQ(next->exitCode(), 0);
            next = startGuard(name);
            ASSERT_FALSE(next->waitForLine("role primary", 10000).isNull());
        }
        current = std::move(next);
    }
    current->terminate();
    EXPECT_TRUE(current->waitForExit(5000));
}

// A second start must hand its message to the primary (instance numbers counting up) and end
// with 0; the primary must see the message without the init bytes.
TEST(SingleInstance, SecondStartPassesMessageAndExitsZero) {
    const QString name = uniqueName();
    auto primary = startGuard(name);
    ASSERT_FALSE(primary->waitForLine("role primary", 10000).isNull());

    for (quint32 n = 1; n <= 2; ++n) {
        auto second = startGuard(name, {"--send", "show"});
        EXPECT_FALSE(
            second->waitForLine(QStringLiteral("role secondary %1").arg(n), 10000).isNull());
        EXPECT_FALSE(second->waitForLine("sent 1", 5000).isNull());
        EXPECT_TRUE(second->waitForExit(5000));
        EXPECT_EQ(second->exitCode(), 0);
        EXPECT_FALSE(primary->waitForLine(QStringLiteral("message %1 show").arg(n), 5000).isNull());
    }
    EXPECT_EQ(countLines(*primary, "message "), 2);
    EXPECT_EQ(countLines(*primary, "started"), 0);  // kind 2/3 without the notify option

    primary->terminate();
    EXPECT_TRUE(primary->waitForExit(5000));
    EXPECT_EQ(primary->exitCode(), 0);

    // With the primary gone cleanly, the next start is primary again at once.
    auto next = startGuard(name);
    EXPECT_FALSE(next->waitForLine("role primary", 10000).isNull());
    next->terminate();
    EXPECT_TRUE(next->waitForExit(5000));
}

// Without secondaries allowed a later start announces itself (kind 1) and ends with 0.
TEST(SingleInstance, RefusedStartNotifiesPrimaryAndExitsZero) {
    const QString name = uniqueName();
    auto primary = startGuard(name, {"--no-secondary"});
    ASSERT_FALSE(primary->waitForLine("role primary", 10000).isNull());
    auto refused = startGuard(name, {"--no-secondary"});
    EXPECT_TRUE(refused->waitForExit(10000));
    EXPECT_EQ(refused->exitCode(), 0);
    EXPECT_FALSE(refused->hasLine("role "));
    EXPECT_FALSE(primary->waitForLine("started", 5000).isNull());
    primary->terminate();
    EXPECT_TRUE(primary->waitForExit(5000));
}

// A crashed primary leaves its record behind; it must not turn every later start into a
// secondary that exits at once.
TEST(SingleInstance, KilledPrimaryDoesNotBlockNextStart) {
    const QString name = uniqueName();
    auto first = startGuard(name);
    ASSERT_FALSE(first->waitForLine("role primary", 10000).isNull());
    const QString key = first->waitForLine("key ", 1000).mid(4);
    first->kill();
    first->waitForExit(5000);

    auto second = startGuard(name);
    EXPECT_FALSE(second->waitForLine("role primary", 10000).isNull())
        << second->lines().join('\n').toStdString();
    EXPECT_TRUE(second->hasLine("is gone, taking over"));

    auto third = startGuard(name, {"--send", "show"});
    EXPECT_FALSE(third->waitForLine("role secondary", 10000).isNull());
    EXPECT_TRUE(third->waitForExit(5000));
    EXPECT_FALSE(second->waitForLine("show", 5000).isNull());
    second->terminate();
    EXPECT_TRUE(second->waitForExit(5000));
    removeSemaphore(key);
}

// A record that names a live process without a server (a reused pid) is stale too; the record
// written by the new primary must follow the shared byte layout.
TEST(SingleInstance, RecordWithoutServerIsTakenOverAndLayoutHolds) {
    const QString name = uniqueName();
    const QString key = keyFor(name);
    ASSERT_FALSE(key.isEmpty());
    QSharedMemory shm(key);
    ASSERT_TRUE(shm.create(152)) << shm.errorString().toStdString();
    ASSERT_TRUE(shm.lock());
    writeRecord(shm, true, 5, QCoreApplication::applicationPid(), "someone", true);
    shm.unlock();

    auto probe = startGuard(name);
    const QString role = probe->waitForLine("role primary pid ", 10000);
    ASSERT_FALSE(role.isNull()) << probe->lines().join('\n').toStdString();
    EXPECT_TRUE(probe->hasLine("does not answer, taking over"));
    EXPECT_EQ(probe->waitForLine("key ", 1000).mid(4), key);

    ASSERT_TRUE(shm.lock());
    RawRecord r = readRecord(shm);
    shm.unlock();
    EXPECT_TRUE(r.consistent);
    EXPECT_TRUE(r.primary);
    EXPECT_EQ(r.secondary, 5u);
    EXPECT_EQ(r.pid, role.section(' ', 3).toLongLong());
    EXPECT_FALSE(r.user.isEmpty());

    // A secondary counts on from the stored number.
    auto second = startGuard(name);
    EXPECT_FALSE(second->waitForLine("role secondary 6", 10000).isNull());

    probe->terminate();
    ASSERT_TRUE(probe->waitForExit(5000));
    ASSERT_TRUE(shm.lock());
    r = readRecord(shm);
    shm.unlock();
    EXPECT_TRUE(r.consistent);
    EXPECT_FALSE(r.primary);
    EXPECT_EQ(r.pid, -1);
    EXPECT_TRUE(r.user.isEmpty());
    EXPECT_EQ(r.secondary, 6u);  // the primary's exit leaves the count alone
}

// A half-written record (bad checksum) is waited on for 5 s, then reset, and the start becomes
// primary instead of hanging or trusting garbage.
TEST(SingleInstance, InconsistentRecordIsResetAfterFiveSeconds) {
    const QString name = uniqueName();
    const QString key = keyFor(name);
    QSharedMemory shm(key);
    ASSERT_TRUE(shm.create(152));
    ASSERT_TRUE(shm.lock());
    writeRecord(shm, true, 9, QCoreApplication::applicationPid(), "x", false);
    shm.unlock();

    QElapsedTimer timer;
    timer.start();
    auto probe = startGuard(name);
    ASSERT_FALSE(probe->waitForLine("role primary", 15000).isNull());
    EXPECT_GE(timer.elapsed(), 5000);
    EXPECT_TRUE(probe->hasLine("inconsistent state"));
    ASSERT_TRUE(shm.lock());
    const RawRecord r = readRecord(shm);
    shm.unlock();
    EXPECT_TRUE(r.consistent);
    EXPECT_TRUE(r.primary);
    EXPECT_EQ(r.secondary, 0u);
    probe->terminate();
    EXPECT_TRUE(probe->waitForExit(5000));
}

// Clients that do not identify themselves correctly must be dropped without any signal, and
// must not disturb later, valid clients.
TEST(SingleInstance, BadClientsAreDroppedWithoutSignal) {
    const QString name = uniqueName();
    auto primary = startGuard(name, {"--notify"});
    ASSERT_FALSE(primary->waitForLine("role primary", 10000).isNull());
    const QByteArray key = primary->waitForLine("key ", 1000).mid(4).toLatin1();
    QLocalSocket silent;  // connects and never identifies itself
    silent.connectToServer(QString::fromLatin1(key));
    ASSERT_TRUE(silent.waitForConnected(2000));

    EXPECT_TRUE(sendRaw(key, {initMessage("OtherApplicationKey", 1, 4) + "show"}, 3000));
    EXPECT_TRUE(sendRaw(key, {initMessage(key, 1, 4, false) + "show"}, 3000));
    QByteArray huge;
    {
        QDataStream out(&huge, QIODevice::WriteOnly);
        out << static_cast<quint64>(1) << 40;
    }
    EXPECT_TRUE(sendRaw(key, {huge + QByteArray(64, 'x')}, 3000));
    QByteArray endless;
    {
        QDataStream out(&endless, QIODevice::WriteOnly);
        out << static_cast<quint64>(1ull << 40);
    }
    EXPECT_TRUE(sendRaw(key, {endless + "show"}, 3000));

    // Clients that leave before identifying themselves: their bytes are no message.
    sendRaw(key, {"shw"}, 0);
    sendRaw(key, {initMessage(key, 3, 4).left(20)}, 0);
    QThread::msleep(200);

    // Identified clients get through; kind 1 and (with notify) kind 2 announce a start.
    EXPECT_FALSE(sendRaw(key, {initMessage(key, 2, 5) + "valid"}, 0));
    EXPECT_FALSE(primary->waitForLine("message 5 valid", 5000).isNull());
    EXPECT_EQ(countLines(*primary, "message "), 1);
    EXPECT_EQ(countLines(*primary, "started"), 1);
    EXPECT_TRUE(silent.state() == QLocalSocket::UnconnectedState ||
                silent.waitForDisconnected(7000));
    primary->terminate();
    EXPECT_TRUE(primary->waitForExit(5000));
}

// The bytes after the init message are the message: delivered whole, without init bytes,
// whether they share a write with the init message or come in pieces.
TEST(SingleInstance, MessageAfterInitIsDeliveredWithoutInitBytes) {
    const QString name = uniqueName();
    auto primary = startGuard(name);
    ASSERT_FALSE(primary->waitForLine("role primary", 10000).isNull());
    const QByteArray key = primary->waitForLine("key ", 1000).mid(4).toLatin1();

    sendRaw(key, {initMessage(key, 3, 7) + "hello world"}, 0);
    EXPECT_FALSE(primary->waitForLine("message 7 hello world", 5000).isNull());

    const QByteArray init = initMessage(key, 3, 8);
    sendRaw(key, {init.left(5), init.mid(5, 20), init.mid(25), "part"}, 0);
    EXPECT_FALSE(primary->waitForLine("message 8 part", 5000).isNull());
    // Later writes on an identified connection are messages of their own.
    QLocalSocket sock;
    sock.connectToServer(QString::fromLatin1(key));
    ASSERT_TRUE(sock.waitForConnected(2000));
    sock.write(initMessage(key, 3, 9) + "first");
    sock.waitForBytesWritten(1000);
    EXPECT_FALSE(primary->waitForLine("message 9 first", 5000).isNull());
    sock.write("second");
    sock.waitForBytesWritten(1000);
    EXPECT_FALSE(primary->waitForLine("message 9 second", 5000).isNull());
    sock.disconnectFromServer();

    EXPECT_EQ(countLines(*primary, "message "), 4);
    for (const QString& line : primary->lines()) {
        if (line.startsWith("message ")) {
            EXPECT_FALSE(line.contains(QString::fromLatin1(key)));
        }
    }
    primary->terminate();
    EXPECT_TRUE(primary->waitForExit(5000));
}
