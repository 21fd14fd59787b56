// The simulator against the program's own command and media servers: two independent readings
// of the wire format have to agree.
#include <gtest/gtest.h>

#include <QUdpSocket>

#include <atomic>
#include <mutex>
#include <string>

#include "fakepc.h"
#include "h264decode.h"
#include "mirror/commandserver.h"
#include "mirror/mirrorobserver.h"
#include "mirror/scanserver.h"
#include "test_env.h"

using namespace phonesimtest;

namespace {

// Counts every observer call; keeps the video payloads for decoding.
class CountingObserver : public mirror::MirrorObserver {
public:
    void onConnected(const char* serial, const char* name) override {
        std::lock_guard<std::mutex> hold(lock);
        connected++;
        this->serial = serial;
        this->name = name;
    }
    void onOutConnected(const char*, const char*) override { outConnected++; }
    void onDisconnected(const char*) override { disconnected++; }
    void onVideoData(const char*, const unsigned char* data, int length,
                     bool configuration) override {
        std::lock_guard<std::mutex> hold(lock);
        (configuration ? configs : pictures)++;
        video.emplace_back(reinterpret_cast<const char*>(data), length);
    }
    void audio_process(const char*, const unsigned char*, int length, int rate, int channels,
                       int bits) override {
        std::lock_guard<std::mutex> hold(lock);
        audioBlocks++;
        audioBytes += length;
        format = {rate, channels, bits};
    }
    void onShotScreen() override { shots++; }
    void onRecordFrame(bool start) override { (start ? recordStarts : recordStops)++; }

    std::mutex lock;
    std::atomic<int> connected{0}, outConnected{0}, disconnected{0}, shots{0};
    std::atomic<int> recordStarts{0}, recordStops{0};
    int configs = 0, pictures = 0, audioBlocks = 0;
    long audioBytes = 0;
    std::vector<int> format;
    std::vector<QByteArray> video;
    std::string serial, name;
};

template <typename Pred>
bool eventually(Pred pred) {
    for (int i = 0; i < 200 && !pred(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pred();
}

}  // namespace

// Guards the whole Push session: every picture and audio block the simulator counts reaches the
// observer (none lost to the end-of-session request or to a bad-input reconnection), the video
// decodes, and the control requests arrive as observer calls, once each.
TEST(PhonesimEndToEnd, PushSessionAgainstCommandServer) {
    CountingObserver observer;
    mirror::CommandServer server(&observer);
    const int port = kivotest::freeTcpPort();
    ASSERT_TRUE(server.start(static_cast<uint16_t>(port)));
    const SimResult r = runSim({"--port",
                                QString::number(port),
                                "--fast",
                                "--duration",
                                "1",
                                "--fps",
                                "15",
                                "--size",
                                "320x240",
                                "--rate",
                                "16000",
                                "--bits",
                                "8",
                                "--channels",
                                "2",
                                "--serial",
                                "E2E-1",
                                "--name",
                                "E2E phone",
                                "--heartbeat",
                                "100",
                                "--at",
                                "0:screenshot",
                                "--at",
                                "0:record-start",
                                "--at",
                                "0.1:record-query",
                                "--at",
                                "0.2:record-stop",
                                "--at",
                                "0.3:garbage",
                                "--at",
                                "0.6:reconnect"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString() << r.out.toStdString();
    ASSERT_TRUE(eventually([&] { return observer.disconnected.load() == 1; }));

    std::lock_guard<std::mutex> hold(observer.lock);
    EXPECT_EQ(observer.connected.load(), 1);
    EXPECT_EQ(observer.serial, "E2E-1");
    EXPECT_EQ(observer.name, "E2E phone");
    EXPECT_EQ(observer.shots.load(), 1);
    EXPECT_EQ(observer.recordStarts.load(), 1);
    EXPECT_EQ(observer.recordStops.load(), 1);
    EXPECT_TRUE(
        r.out.contains("reply: {\"data\":{\"state\":true},\"type\":0,\"version\":\"1.0\"}"));
    EXPECT_EQ(observer.pictures, r.summary("pictures"));
    EXPECT_EQ(observer.configs, r.summary("configs"));
    EXPECT_EQ(observer.audioBlocks, r.summary("audio_blocks"));
    EXPECT_EQ(observer.pictures, 15);
    EXPECT_EQ(observer.audioBytes, 16000L * 2);  // one second of two 8-bit channels
    EXPECT_EQ(observer.format, (std::vector<int>{16000, 2, 8}));
    EXPECT_EQ(r.summary("media_connections"), 3);

    std::vector<DecodedPicture> pictures;
    ASSERT_TRUE(decodeUnits(observer.video, &pictures));
    EXPECT_EQ(pictures.size(), 15u);
    EXPECT_EQ(pictures.back().width, 320);
    EXPECT_EQ(pictures.back().height, 240);
    server.stop();
}

// Guards the paths where the program must throw input away: video after a wrong key never
// reaches the observer, and a Play session ends with onDisconnected although it began with no
// onConnected.
TEST(PhonesimEndToEnd, WrongKeyAndPlay) {
    CountingObserver observer;
    mirror::CommandServer server(&observer);
    const int port = kivotest::freeTcpPort();
    ASSERT_TRUE(server.start(static_cast<uint16_t>(port)));
    SimResult r = runSim({"--port", QString::number(port), "--fast", "--duration", "0.5", "--size",
                          "64x64", "--bad", "wrong-key"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_GT(r.summary("pictures"), 0);
    ASSERT_TRUE(eventually([&] { return observer.disconnected.load() == 1; }));
    {
        std::lock_guard<std::mutex> hold(observer.lock);
        EXPECT_EQ(observer.pictures + observer.configs + observer.audioBlocks, 0);
    }

    r = runSim({"--port", QString::number(port), "--mode", "play", "--duration", "0.3"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(eventually([&] { return observer.disconnected.load() == 2; }));
    EXPECT_EQ(observer.connected.load(), 1);
    server.stop();
}

// Guards discovery from both ends: the simulator understands the program's own datagram and
// connects to the command port it names.
TEST(PhonesimEndToEnd, DiscoveryFromScanServer) {
    CountingObserver observer;
    mirror::CommandServer server(&observer);
    const int port = kivotest::freeTcpPort();
    ASSERT_TRUE(server.start(static_cast<uint16_t>(port)));
    QUdpSocket probe;
    ASSERT_TRUE(probe.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const int udpPort = probe.localPort();
    probe.close();
    // Loopback only: 127.0.0.255 is a local address, nothing leaves the machine.
    ScanServer scan;
    scan.configure("127.0.0.255", udpPort, "E2E PC", "127.0.0.1", static_cast<quint16>(port));
    const SimResult r =
        runSim({"--discovery-port", QString::number(udpPort), "--discovery-timeout", "10", "--fast",
                "--duration", "0.2", "--size", "64x64", "--heartbeat", "0"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("discovered PC \"E2E PC\" at 127.0.0.1:" + QString::number(port)));
    EXPECT_TRUE(eventually([&] { return observer.disconnected.load() == 1; }));
    EXPECT_EQ(observer.connected.load(), 1);
    server.stop();
}
