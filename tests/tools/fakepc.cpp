#include "fakepc.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>

#include <chrono>

#include "test_env.h"

namespace phonesimtest {

namespace {

constexpr int kWaitMs = 20000;

bool readExact(QTcpSocket* s, qint64 n, QByteArray* out) {
    while (s->bytesAvailable() < n)
        if (!s->waitForReadyRead(kWaitMs)) return false;
    *out = s->read(n);
    return true;
}

QByteArray frame(const QJsonObject& reply) {
    // The program's replies: compact JSON, keys in order, one line feed, length first.
    const QByteArray text = QJsonDocument(reply).toJson(QJsonDocument::Compact) + "\n";
    QByteArray bytes(4, '\0');
    const uint32_t n = static_cast<uint32_t>(text.size());
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(n >> (24 - 8 * i));
    return bytes + text;
}

void waitUntil(const std::atomic<bool>& flag) {
    while (!flag) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

}  // namespace

uint32_t be32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

FakePc::FakePc(FakePcConfig config) : config_(std::move(config)) {}

FakePc::~FakePc() {
    stop_ = true;
    if (command_.joinable()) command_.join();
    if (mediaThread_.joinable()) mediaThread_.join();
}

int FakePc::start() {
    mediaThread_ = std::thread(&FakePc::serveMedia, this);
    waitUntil(listening_);
    listening_ = false;
    command_ = std::thread(&FakePc::serveCommands, this);
    waitUntil(listening_);
    return commandPort_;
}

void FakePc::join(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!commandDone_ && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop_ = true;
    if (command_.joinable()) command_.join();
    if (mediaThread_.joinable()) mediaThread_.join();
}

std::vector<QJsonObject> FakePc::requests() const {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
}

std::vector<QByteArray> FakePc::mediaConnections() const {
    std::lock_guard<std::mutex> hold(lock_);
    return media_;
}

std::vector<QByteArray> FakePc::brokenFrames() const {
    std::lock_guard<std::mutex> hold(lock_);
    return broken_;
}

void FakePc::serveCommands() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    commandPort_ = server.serverPort();
    listening_ = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!stop_ && !server.hasPendingConnections() && std::chrono::steady_clock::now() < deadline)
        server.waitForNewConnection(50);
    QTcpSocket* s = server.nextPendingConnection();
    while (s && !stop_) {
        QByteArray head, text;
        if (!readExact(s, 4, &head)) break;
        const uint32_t n = be32(head.constData());
        if (n > (1u << 20) || !readExact(s, n, &text)) {
            std::lock_guard<std::mutex> hold(lock_);
            broken_.push_back(head);
            break;
        }
        const QJsonDocument doc = QJsonDocument::fromJson(text);
        if (!doc.isObject()) {
            std::lock_guard<std::mutex> hold(lock_);
            broken_.push_back(text);
            break;
        }
        const QJsonObject request = doc.object();
        {
            std::lock_guard<std::mutex> hold(lock_);
            requests_.push_back(request);
        }
        const int type = request["type"].toInt(-99);
        QJsonObject reply{{"type", 0}, {"version", "1.0"}};
        if (type == 0 || type == 1) {
            if (config_.refusePush) break;
            reply["data"] = QJsonObject{{"bite_rate", 4},
                                        {"key", QString::fromStdString(config_.key)},
                                        {"port", mediaPort_}};
        } else if (type == -1) {
            reply["type"] = -1;
        } else if (type == 5) {
            const int t = request["data"].toObject()["type"].toInt();
            reply["data"] = QJsonObject{{"state", t < 2 ? t == 1 : config_.recording}};
        } else if (type == 3 || type < -1 || type > 5) {
            continue;
        }
        s->write(frame(reply));
        s->waitForBytesWritten(kWaitMs);
        ++replies_;
        if (type == 2) break;
    }
    if (s) {
        s->close();
        delete s;
    }
    commandDone_ = true;
}

void FakePc::serveMedia() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    mediaPort_ = server.serverPort();
    listening_ = true;
    for (;;) {
        // Connections still in the backlog when asked to stop are read too.
        // One accept round may queue several connections inside the server.
        if (!server.hasPendingConnections() && !server.waitForNewConnection(50)) {
            if (stop_) break;
            continue;
        }
        std::unique_ptr<QTcpSocket> s(server.nextPendingConnection());
        QByteArray bytes;
        for (;;) {
            const bool more = s->waitForReadyRead(100);
            bytes += s->readAll();
            if (config_.dropMediaAfterKey && bytes.size() >= 12 &&
                bytes.size() >= 12 + static_cast<int>(be32(bytes.constData() + 8)))
                break;
            if (!more && (s->state() != QAbstractSocket::ConnectedState || stop_)) break;
        }
        s->abort();
        std::lock_guard<std::mutex> hold(lock_);
        media_.push_back(bytes);
    }
}

std::vector<Packet> parsePackets(const QByteArray& bytes) {
    std::vector<Packet> packets;
    int at = 0;
    const int size = bytes.size();
    while (at < size) {
        Packet p;
        p.complete = false;
        if (size - at < 8) break;
        p.type = be32(bytes.constData() + at);
        const uint32_t e = be32(bytes.constData() + at + 4);
        if (e % 4 != 0 || e > 4096 || size - at - 8 < static_cast<int>(e) + 4) {
            packets.push_back(p);
            break;
        }
        for (uint32_t i = 0; i < e; i += 4) p.ext.push_back(be32(bytes.constData() + at + 8 + i));
        at += 8 + static_cast<int>(e);
        p.announced = be32(bytes.constData() + at);
        at += 4;
        const int take = static_cast<int>(std::min<int64_t>(p.announced, size - at));
        p.payload = bytes.mid(at, take);
        at += take;
        p.complete = take == static_cast<int64_t>(p.announced);
        packets.push_back(p);
    }
    return packets;
}

long SimResult::summary(const QString& name) const {
    const QRegularExpression re("^summary:.*\\b" + name + "=(\\d+)",
                                QRegularExpression::MultilineOption);
    const QRegularExpressionMatch m = re.match(out);
    return m.hasMatch() ? m.captured(1).toLong() : -1;
}

SimResult runSim(const QStringList& args, int timeoutMs) {
    static int run = 0;
    const QString base = kivotest::scratchDir() + QString("/sim%1").arg(++run);
    QProcess p;
    p.setStandardOutputFile(base + ".out");
    p.setStandardErrorFile(base + ".err");
    p.start(kivotest::binDir() + "/kivocam-phonesim", args);
    SimResult r;
    if (!p.waitForStarted(10000)) return r;
    // Keep this thread's event loop turning: objects under test may live on it (timers).
    QElapsedTimer clock;
    clock.start();
    while (!p.waitForFinished(20) && clock.elapsed() < timeoutMs) QCoreApplication::processEvents();
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(5000);
    } else if (p.exitStatus() == QProcess::NormalExit) {
        r.exitCode = p.exitCode();
    }
    QFile out(base + ".out"), err(base + ".err");
    if (out.open(QIODevice::ReadOnly)) r.out = QString::fromUtf8(out.readAll());
    if (err.open(QIODevice::ReadOnly)) r.err = QString::fromUtf8(err.readAll());
    return r;
}

}  // namespace phonesimtest
