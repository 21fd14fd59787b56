// The mirror server and SocketServer: audio conversion, connection bookkeeping, the command port
// search and whole phone sessions over loopback sockets with real H.264.
#include "kivobridge/pool.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "h264_capture.h"
#include "h264_source.h"
#include "mirror/audioresampler.h"
#include "mirror/kivospmirrorserver.h"
#include "mirror/scanserver.h"
#include "mirror/socketserver.h"
#include "net_support.h"

using namespace std::chrono_literals;

namespace {

// The program registers these at start-up, before any mirroring object exists.
const bool g_typesRegistered = (h264test::registerFrameTypes(), true);

// Runs the event loop until done() or the time-out.
bool spinUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

struct AudioSink {
    std::mutex mutex;
    std::vector<PcmFramePtr> frames;
    void attach(ScreenMirrorServer* server) {
        QObject::connect(
            server, &ScreenMirrorServer::MirrirAudioFrame, server,
            [this](PcmFramePtr f) {
                std::lock_guard<std::mutex> lock(mutex);
                frames.push_back(f);
            },
            Qt::DirectConnection);
    }
    std::vector<PcmFramePtr> take() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<PcmFramePtr> out;
        out.swap(frames);
        return out;
    }
};

std::vector<int16_t> samplesOf(const PcmFrame& f) {
    std::vector<int16_t> s(size_t(f.size()) / 2);
    std::memcpy(s.data(), f.data(), s.size() * 2);
    return s;
}

// The first port from start on which nothing listens (held open by the caller's QTcpServer).
quint16 firstFreePort(quint16 start) {
    for (quint16 p = start; p < start + 50; ++p) {
        QTcpServer probe;
        if (probe.listen(QHostAddress::Any, p)) return p;
    }
    return 0;
}

// A phone: control connection, Push, media connection with the key.
struct Phone {
    nettest::NetClient control;
    nettest::NetClient media;
    std::string key;
    quint16 mediaPort = 0;

    bool push(quint16 commandPort, const std::string& serial) {
        if (!control.valid() && !control.connect(commandPort)) return false;
        const std::string json = "{\"type\":0,\"data\":{\"serial\":\"" + serial +
                                 "\",\"name\":\"Phone " + serial + "\",\"device\":\"test\"}}";
        if (!control.send(nettest::controlFrame(json))) return false;
        const QJsonObject reply =
            QJsonDocument::fromJson(QByteArray::fromStdString(control.readControl())).object();
        const QJsonObject data = reply.value("data").toObject();
        mediaPort = quint16(data.value("port").toInt());
        key = data.value("key").toString().toStdString();
        if (mediaPort == 0 || key.empty()) return false;
        media.close();
        return media.connect(mediaPort) && media.send(nettest::keyPacket(key));
    }
    bool video(const h264test::Bytes& bytes, bool config) {
        return media.send(nettest::mediaPacket(1, {1, config ? 2u : 0u}, bytes));
    }
    bool endSession() {
        return control.send(nettest::controlFrame("{\"type\":2}")) && control.waitClosed();
    }
};

}  // namespace

// Guards against wrong sample conversion, a converter not rebuilt when the phone changes its
// format (or rebuilt for every block), and a buffer sized for fewer channels than the block has.
TEST(AudioResampler, ConvertsAndRebuildsOnlyOnFormatChange) {
    mirror::AudioResampler resampler;
    const uint8_t* out = nullptr;
    std::string error;
    std::vector<uint8_t> block(4096);
    for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i);
    EXPECT_EQ(resampler.convertU8ToS16(block.data(), 1024, 8000, 1, &out, &error), 2048);
    EXPECT_EQ(resampler.convertU8ToS16(block.data(), 1024, 8000, 1, &out, &error), 2048);
    EXPECT_EQ(resampler.builds(), 1);
    EXPECT_EQ(resampler.convertU8ToS16(block.data(), 1024, 16000, 1, &out, &error), 2048);
    EXPECT_EQ(resampler.builds(), 2);
    EXPECT_EQ(resampler.sampleRate(), 16000);
    // Fewer samples per channel but more bytes than the buffer was made for.
    EXPECT_EQ(resampler.convertU8ToS16(block.data(), 4096, 16000, 2, &out, &error), 8192);
    EXPECT_EQ(resampler.builds(), 3);
    std::vector<int16_t> s(4096);
    std::memcpy(s.data(), out, 8192);
    for (size_t i = 0; i < s.size(); ++i) ASSERT_EQ(s[i], (int(block[i]) - 128) * 256) << i;
    // Nonsense formats are refused, not divided by.
    EXPECT_EQ(resampler.convertU8ToS16(block.data(), 1024, 8000, 0, &out, &error),
              mirror::AudioResampler::kBadInput);
    EXPECT_EQ(resampler.convertU8ToS16(block.data(), 1024, 0, 1, &out, &error),
              mirror::AudioResampler::kBadInput);
}

// Guards against audio blocks reaching the program in the wrong shape: 8-bit mono doubles in
// size with exact 16-bit values, 16-bit passes byte for byte, other depths produce nothing.
TEST(KivospMirrorServer, AudioBlocksBecomeSixteenBitFrames) {
    KivospMirrorServer server;
    AudioSink sink;
    sink.attach(&server);
    std::vector<uint8_t> u8(1024);
    for (size_t i = 0; i < u8.size(); ++i) u8[i] = uint8_t(i * 7);
    server.audio_process("S", u8.data(), int(u8.size()), 8000, 1, 8);
    auto frames = sink.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->size(), 2048);
    EXPECT_EQ(frames[0]->sampleRate(), 8000);
    EXPECT_EQ(frames[0]->channels(), 1);
    EXPECT_EQ(frames[0]->bitsPerSample(), 16);
    const auto s = samplesOf(*frames[0]);
    for (size_t i = 0; i < s.size(); ++i) ASSERT_EQ(s[i], (int(u8[i]) - 128) * 256) << i;

    server.audio_process("S", u8.data(), int(u8.size()), 16000, 1, 8);
    frames = sink.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->sampleRate(), 16000);

    std::vector<uint8_t> s16(960);
    for (size_t i = 0; i < s16.size(); ++i) s16[i] = uint8_t(i * 13 + 1);
    server.audio_process("S", s16.data(), int(s16.size()), 48000, 2, 16);
    frames = sink.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->channels(), 2);
    EXPECT_EQ(std::vector<uint8_t>(frames[0]->data(), frames[0]->data() + frames[0]->size()), s16);

    server.audio_process("S", s16.data(), int(s16.size()), 48000, 2, 24);
    server.audio_process("S", u8.data(), int(u8.size()), 8000, 0, 8);  // no channels: refused
    EXPECT_TRUE(sink.take().empty());
}

// Guards against a disconnection for an unknown serial being swallowed, against video for an
// unknown serial reaching anything, and against a repeated Push leaving a decoder running.
TEST(KivospMirrorServer, ConnectionBookkeeping) {
    const int idle = h264test::settledProcEntries("task");
    SocketServer socketServer;
    QStringList out;
    QObject::connect(&socketServer, &SocketServer::sig_MirrorOutConnected,
                     [&](QString serial) { out << serial; });
    socketServer.startServer();
    KivospMirrorServer* server = socketServer.mirrorServer();
    ASSERT_NE(server, nullptr);
    server->onDisconnected("nobody");
    ASSERT_TRUE(spinUntil([&] { return out.size() == 1; }));
    EXPECT_EQ(out.front(), "nobody");

    const uint8_t junk[4] = {0, 0, 0, 1};
    server->onVideoData("nobody", junk, 4, false);  // freed, nothing else happens
    const int threads = h264test::settledProcEntries("task");
    server->onConnected("A", "Phone A");
    server->onConnected("A", "Phone A");
    EXPECT_EQ(server->connectionCount(), 1);
    EXPECT_EQ(h264test::settledProcEntries("task", threads + 1), threads + 1)
        << "one decoding thread per phone";
    server->onConnected("B", "Phone B");
    EXPECT_EQ(server->connectionCount(), 2);
    // A session's end gives back the frame buffers kept for reuse.
    pp::FLMemNode* cached = ScreenMirrorServer::framePool()->require(1 << 20);
    pp::release_pnode(&cached);
    EXPECT_GT(ScreenMirrorServer::framePool()->cachedBytes(), 0u);
    server->onDisconnected("A");
    EXPECT_EQ(server->connectionCount(), 1);
    EXPECT_EQ(ScreenMirrorServer::framePool()->cachedBytes(), 0u);
    // B is still in the map: destroying the server must end its decoding thread too.
    socketServer.stopServer();
    EXPECT_LE(h264test::settledProcEntries("task", idle), idle);
}

// Guards against the command port search stopping at a taken port, and against discovery
// advertising a port other than the one the command server got.
TEST(SocketServer, TakenPortMovesCommandServerAndDiscoveryAlong) {
    const quint16 first = firstFreePort(KivospMirrorServer::kFirstCommandPort);
    ASSERT_NE(first, 0);
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::Any, first));
    const quint16 expected = firstFreePort(quint16(first + 1));

    QStringList stored;
    MirrorHostConfig config;
    config.deviceName = [] { return QString("Desk PC"); };
    config.storeIpAddress = [&](const QString& ip) { stored << ip; };
    SocketServer socketServer;
    socketServer.setHostConfig(config);
    socketServer.startServer();
    KivospMirrorServer* server = socketServer.mirrorServer();
    EXPECT_EQ(server->commandPort(), expected);
    EXPECT_EQ(stored, QStringList{"127.0.0.2"});
    EXPECT_EQ(server->deviceName(), "Desk PC");
    const auto scans = server->findChildren<ScanServer*>();
    ASSERT_EQ(scans.size(), 1);
    EXPECT_EQ(scans[0]->port(), expected);
    EXPECT_EQ(scans[0]->name(), "Desk PC");
    EXPECT_EQ(scans[0]->broadcastAddress(), "127.0.0.255");
    EXPECT_TRUE(nettest::heartbeatWorks(expected));

    // A second start advertises through one set of broadcasters only.
    server->start();
    EXPECT_EQ(server->findChildren<ScanServer*>().size(), 1);
}

// A whole session as a phone runs it: pictures and audio arrive on the main thread through the
// SocketServer, and the end of the session is reported with the serial.
TEST(SocketServer, PhoneSessionDeliversPicturesAndAudio) {
    const h264test::EncodedStream s = h264test::encodeStream(640, 360, 10);
    ASSERT_EQ(s.pictures.size(), 10u);
    SocketServer socketServer;
    std::vector<I420FramePtr> pictures;
    std::mutex audioMutex;  // sound arrives on the network thread
    std::vector<PcmFramePtr> audio;
    QStringList in, out;
    QObject::connect(&socketServer, &SocketServer::sig_MirrorVideoFrame,
                     [&](I420FramePtr f) { pictures.push_back(f); });
    QObject::connect(
        &socketServer, &SocketServer::sig_MirrorAudioFrame, &socketServer,
        [&](PcmFramePtr f) {
            std::lock_guard<std::mutex> lock(audioMutex);
            audio.push_back(f);
        },
        Qt::DirectConnection);
    QObject::connect(&socketServer, &SocketServer::sig_MirrorInConnected,
                     [&](QString serial, QString) { in << serial; });
    QObject::connect(&socketServer, &SocketServer::sig_MirrorOutConnected,
                     [&](QString serial) { out << serial; });
    socketServer.startServer();
    const quint16 port = socketServer.mirrorServer()->commandPort();
    ASSERT_NE(port, 0);

    Phone phone;
    ASSERT_TRUE(phone.push(port, "SERIAL1"));
    ASSERT_TRUE(spinUntil([&] { return in.size() == 1; }));
    EXPECT_EQ(in.front(), "SERIAL1");
    ASSERT_TRUE(phone.video(s.config, true));
    for (const auto& p : s.pictures) ASSERT_TRUE(phone.video(p, false));
    const std::vector<uint8_t> u8(800, 200);
    ASSERT_TRUE(phone.media.send(nettest::mediaPacket(2, {2, 8000, 1, 8}, u8)));
    ASSERT_TRUE(spinUntil([&] { return pictures.size() == s.pictures.size(); }));
    for (size_t i = 0; i < pictures.size(); ++i)
        EXPECT_GE(h264test::psnr(s.sources[i], *pictures[i]), 35.0) << i;
    ASSERT_TRUE(spinUntil([&] {
        std::lock_guard<std::mutex> lock(audioMutex);
        return !audio.empty();
    }));
    {
        std::lock_guard<std::mutex> lock(audioMutex);
        EXPECT_EQ(audio.front()->size(), 1600);
        EXPECT_EQ(samplesOf(*audio.front()).front(), (200 - 128) * 256);
    }

    ASSERT_TRUE(phone.endSession());
    ASSERT_TRUE(spinUntil([&] { return out.size() == 1; }));
    EXPECT_EQ(out.front(), "SERIAL1");
    EXPECT_EQ(socketServer.mirrorServer()->connectionCount(), 0);
}

// Guards against pictures of an ended session arriving after its disconnect notice: the window
// would put such a stale picture into the camera's staging buffer, for the next session to show.
TEST(SocketServer, NoPictureOfAnEndedSessionFollowsItsNotice) {
    const int width = 352, height = 288;
    const h264test::EncodedStream s = h264test::encodeStream(width, height, 10);
    ASSERT_EQ(s.pictures.size(), 10u);
    SocketServer socketServer;
    QObject receiver;
    QString order;  // P for a picture, D for the notice
    QObject::connect(&socketServer, &SocketServer::sig_MirrorVideoFrame, &receiver,
                     [&](I420FramePtr) { order += 'P'; });
    QObject::connect(&socketServer, &SocketServer::sig_MirrorOutConnected, &receiver,
                     [&](QString) { order += 'D'; });
    int connected = 0;
    QObject::connect(&socketServer, &SocketServer::sig_MirrorInConnected, &receiver,
                     [&](QString, QString) { ++connected; });
    socketServer.startServer();
    const quint16 port = socketServer.mirrorServer()->commandPort();
    ASSERT_NE(port, 0);
    Phone phone;
    ASSERT_TRUE(phone.push(port, "STALE"));
    ASSERT_TRUE(spinUntil([&] { return connected == 1; }));

    // From here the main thread runs no events, like a busy window: every decoded picture waits
    // in its queue while the session ends.
    std::atomic<int> decoded{0};
    QObject::connect(
        socketServer.mirrorServer(), &ScreenMirrorServer::MirrorVideoFrame, &receiver,
        [&](I420FramePtr) { ++decoded; }, Qt::DirectConnection);
    ASSERT_TRUE(phone.video(s.config, true));
    for (const auto& p : s.pictures) ASSERT_TRUE(phone.video(p, false));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (decoded.load() < 10 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    ASSERT_EQ(decoded.load(), 10) << "all ten pictures decoded";
    ASSERT_TRUE(phone.endSession());

    ASSERT_TRUE(spinUntil([&] { return order.contains('D'); }));
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(order.toStdString(), std::string(10, 'P') + 'D');
}

// What each open descriptor points at, for a failure message.
static QString openFiles() {
    QStringList out;
    const QDir dir("/proc/self/fd");
    for (const QString& fd : dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System))
        out << fd + "=" + QFileInfo(dir.filePath(fd)).symLinkTarget();
    return out.join(' ');
}

// Guards against each session leaking a thread, descriptors or frame memory: a phone that comes
// and goes many times, ending cleanly or by dropping its connections mid-stream.
TEST(SocketServer, ReconnectingPhoneLeavesNothingBehind) {
    const h264test::EncodedStream s = h264test::encodeStream(320, 240, 4);
    ASSERT_EQ(s.pictures.size(), 4u);
    const int idleThreads = h264test::settledProcEntries("task");
    SocketServer socketServer;
    int frames = 0;
    QObject::connect(&socketServer, &SocketServer::sig_MirrorVideoFrame,
                     [&](I420FramePtr) { ++frames; });
    socketServer.startServer();
    KivospMirrorServer* server = socketServer.mirrorServer();
    const quint16 port = server->commandPort();
    ASSERT_NE(port, 0);

    auto session = [&](int i) {
        Phone phone;
        const int before = frames;
        if (!phone.push(port, "PHONE")) return false;
        // The connection object is made just after the Push reply is sent.
        if (!spinUntil([&] { return server->connectionCount() == 1; })) return false;
        phone.video(s.config, true);
        for (const auto& p : s.pictures) phone.video(p, false);
        if (!spinUntil([&] { return frames >= before + int(s.pictures.size()); })) return false;
        if (i % 3 == 0) phone.video(s.pictures[0], false);  // still queued at the end
        if (i % 2 == 0) return phone.endSession();
        phone.media.close();
        phone.control.close();  // lost connection: the session ends all the same
        return spinUntil([&] { return server->connectionCount() == 0; });
    };
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(session(i));
    spinUntil([&] { return server->connectionCount() == 0; });
    const int threads = h264test::settledProcEntries("task");
    const int fds = h264test::settledProcEntries("fd");
    const size_t held = ScreenMirrorServer::framePool()->heldBytes();
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(session(i)) << "session " << i;
    ASSERT_TRUE(spinUntil([&] { return server->connectionCount() == 0; }));
    EXPECT_LE(h264test::settledProcEntries("task", threads), threads);
    // A dropped control connection is closed just after its session is reported ended. A leak
    // per session would show forty times over; one descriptor more, seen once in a while on a
    // loaded machine, is let pass (the listing says what it was).
    EXPECT_LE(h264test::settledProcEntries("fd", fds), fds + 1) << openFiles().toStdString();
    // The pool keeps a few released buffers for reuse (as many as were ever in flight at once);
    // a leak would hold one more picture buffer per session.
    const size_t picture = 2 * 384 * 240 + 2 * 192 * 120;
    EXPECT_LT(ScreenMirrorServer::framePool()->heldBytes(), held + 10 * 2 * picture);

    // The program closing while a phone is still streaming: its decoding thread ends too.
    Phone phone;
    ASSERT_TRUE(phone.push(port, "LAST"));
    ASSERT_TRUE(spinUntil([&] { return server->connectionCount() == 1; }));
    phone.video(s.config, true);
    phone.video(s.pictures[0], false);
    socketServer.stopServer();
    EXPECT_LE(h264test::settledProcEntries("task", idleThreads), idleThreads);
}
