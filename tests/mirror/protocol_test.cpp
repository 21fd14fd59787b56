// Control messages, framing, media packet parsing, transfer helpers and frame records.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "kivobridge/pool.h"
#include "mirror/command.h"
#include "mirror/mediapacket.h"
#include "mirror/pcmframe.h"
#include "mirror/server.h"
#include "mirror/videoframe.h"
#include "net_support.h"

using namespace mirror;
using nettest::Bytes;
using nettest::operator+;

// A heartbeat reply must be byte-exact: length prefix, sorted compact keys, trailing line feed.
TEST(Protocol, HeartbeatReplyBytes) {
    ResponseCommand reply;
    reply.setType(-1);
    std::string text;
    reply.serialize(text);
    const std::string expected = "{\"type\":-1,\"version\":\"1.0\"}\n";
    EXPECT_EQ(text, expected);
    const Bytes frame = frameControlText(text);
    const Bytes want = Bytes{0, 0, 0, static_cast<uint8_t>(expected.size())} +
                       Bytes(expected.begin(), expected.end());
    EXPECT_EQ(frame, want);
    EXPECT_EQ(expected.size(), 28u);
}

// The Push reply writes the port as an integer and keeps an explicit version untouched.
TEST(Protocol, PushReplyLayout) {
    ResponseCommand reply;
    reply.setType(0);
    reply.set("port", static_cast<uint16_t>(10081));
    reply.set("key", std::string("{k}"));
    reply.set("bite_rate", 4);
    std::string text;
    reply.serialize(text);
    EXPECT_EQ(text,
              "{\"data\":{\"bite_rate\":4,\"key\":\"{k}\",\"port\":10081},\"type\":0,"
              "\"version\":\"1.0\"}\n");

    ResponseCommand state;
    state.setType(0);
    state.set("state", true);
    state.serialize(text);
    EXPECT_EQ(text, "{\"data\":{\"state\":true},\"type\":0,\"version\":\"1.0\"}\n");
}

// The three parse outcomes and the range of each command kind; hostile texts must not throw.
TEST(Protocol, ParseOutcomes) {
    RequestCommand seven;
    EXPECT_TRUE(seven.parse("{\"type\":7}"));
    EXPECT_EQ(seven.type(), -2);
    EXPECT_EQ(seven.errorCode(), 0);

    RequestCommand object;
    EXPECT_FALSE(object.parse("{\"type\":{\"a\":1}}"));
    EXPECT_EQ(object.errorCode(), 2);
    EXPECT_EQ(object.type(), -2);
    EXPECT_FALSE(object.errorText().empty());

    RequestCommand notJson;
    EXPECT_FALSE(notJson.parse("hello"));
    EXPECT_EQ(notJson.errorCode(), 1);
    EXPECT_EQ(notJson.errorText(), "json parse error!");

    RequestCommand ok;
    EXPECT_TRUE(ok.parse("{\"type\":-1,\"version\":\"x\"}"));
    EXPECT_EQ(ok.type(), -1);
    EXPECT_TRUE(ok.parse("{\"type\":5,\"data\":{\"type\":1}}"));
    EXPECT_EQ(ok.type(), 5);

    ResponseCommand resp;
    EXPECT_TRUE(resp.parse("{\"type\":3}"));
    EXPECT_EQ(resp.type(), -2);
    EXPECT_TRUE(resp.parse("{\"type\":2}"));
    EXPECT_EQ(resp.type(), 2);

    // Not an object, a number beyond int, and nesting beyond the reader's limit.
    RequestCommand odd;
    EXPECT_FALSE(odd.parse("[1,2]"));
    EXPECT_EQ(odd.errorCode(), 2);
    EXPECT_FALSE(odd.parse("{\"type\":1e30}"));
    EXPECT_EQ(odd.errorCode(), 2);
    EXPECT_FALSE(odd.parse(std::string(100000, '[')));
    EXPECT_EQ(odd.errorCode(), 1);
    EXPECT_FALSE(odd.parse(""));
}

// Field readers report library errors instead of throwing.
TEST(Protocol, SessionFieldsOfWrongShape) {
    RequestCommand good;
    ASSERT_TRUE(
        good.parse("{\"type\":0,\"data\":{\"serial\":\"S1\",\"name\":\"N\",\"device\":\"D\"}}"));
    SessionRequest f;
    std::string err;
    ASSERT_TRUE(readSessionRequest(good, &f, &err));
    EXPECT_EQ(f.serial, "S1");
    EXPECT_EQ(f.name, "N");

    RequestCommand bad;
    ASSERT_TRUE(bad.parse("{\"type\":0,\"data\":{\"serial\":{\"x\":1}}}"));
    EXPECT_FALSE(readSessionRequest(bad, &f, &err));
    EXPECT_FALSE(err.empty());

    RequestCommand dataNotObject;
    ASSERT_TRUE(dataNotObject.parse("{\"type\":5,\"data\":[1]}"));
    int t = 0;
    EXPECT_FALSE(readRecordingType(dataNotObject, &t, &err));
}

// Media packet parsing: short extensions must be refused, never read past; bounds enforced.
TEST(Protocol, MediaPacketParser) {
    using nettest::mediaPacket;
    MediaPacket p;
    Bytes plain = mediaPacket(1, {}, Bytes{1, 2, 3});
    EXPECT_EQ(parseMediaPacket(plain.data(), plain.size(), &p), static_cast<long>(plain.size()));
    EXPECT_EQ(p.extension.frameKind, -1);
    EXPECT_EQ(p.payloadLength, 3u);
    EXPECT_EQ(plain[p.payloadOffset], 1);

    Bytes config = mediaPacket(1, {1, 2}, Bytes{9});
    ASSERT_GT(parseMediaPacket(config.data(), config.size(), &p), 0);
    EXPECT_EQ(p.extension.frameKind, 2);

    Bytes audio = mediaPacket(2, {2, 8000, 1, 16}, Bytes(4));
    ASSERT_GT(parseMediaPacket(audio.data(), audio.size(), &p), 0);
    EXPECT_EQ(p.extension.sampleRate, 8000u);
    EXPECT_EQ(p.extension.channels, 1u);
    EXPECT_EQ(p.extension.bitsPerSample, 16u);

    // Truncated input asks for more, for every cut point.
    for (size_t cut = 0; cut < audio.size(); ++cut)
        EXPECT_EQ(parseMediaPacket(audio.data(), cut, &p), 0) << cut;

    Bytes shortVideo = mediaPacket(1, {1}, Bytes{});
    EXPECT_EQ(parseMediaPacket(shortVideo.data(), shortVideo.size(), &p), -1);
    Bytes shortAudio = mediaPacket(2, {2, 8000, 1}, Bytes{});
    EXPECT_EQ(parseMediaPacket(shortAudio.data(), shortAudio.size(), &p), -1);
    Bytes unknownKind = mediaPacket(1, {7, 1}, Bytes{});
    EXPECT_EQ(parseMediaPacket(unknownKind.data(), unknownKind.size(), &p), -1);
    Bytes tiny = nettest::be32(1) + nettest::be32(2) + Bytes{0, 1} + nettest::be32(0);
    EXPECT_EQ(parseMediaPacket(tiny.data(), tiny.size(), &p), -1);

    Bytes extOver = nettest::be32(1) + nettest::be32(kMaxExtensionBytes + 1);
    EXPECT_EQ(parseMediaPacket(extOver.data(), extOver.size(), &p), -1);
    Bytes payloadOver = nettest::be32(1) + nettest::be32(0) + nettest::be32(kMaxPayloadBytes + 1);
    EXPECT_EQ(parseMediaPacket(payloadOver.data(), payloadOver.size(), &p), -1);
    Bytes payloadAt = nettest::be32(1) + nettest::be32(0) + nettest::be32(kMaxPayloadBytes);
    EXPECT_EQ(parseMediaPacket(payloadAt.data(), payloadAt.size(), &p), 0);

    MediaExtension none;
    EXPECT_FALSE(isUsableAudioFormat(none));
    MediaExtension fmt;
    fmt.sampleRate = 44100;
    fmt.channels = 2;
    fmt.bitsPerSample = 8;
    EXPECT_TRUE(isUsableAudioFormat(fmt));
    fmt.channels = 0xFFFFFFFFu;
    EXPECT_FALSE(isUsableAudioFormat(fmt));
}

// The transfer helpers: flag semantics, peer close mid-transfer, and the deadline.
TEST(Protocol, RecvExactAndSendAll) {
    platform::Socket listener = platform::createTcpSocket();
    ASSERT_TRUE(platform::bindAnyAddress(listener.get(), 0));
    ASSERT_TRUE(platform::listenOn(listener.get(), 1));
    uint16_t p = 0;
    ASSERT_TRUE(platform::localPort(listener.get(), &p));
    nettest::NetClient client(p);
    ASSERT_TRUE(client.valid());
    platform::Socket server(platform::acceptConnection(listener.get()));
    ASSERT_TRUE(server.valid());
    platform::setIoTimeouts(server.get(), 50);

    std::atomic<bool> stopped{false};
    std::atomic<bool> running{true};
    uint8_t buf[16];
    size_t n = sizeof buf;
    EXPECT_TRUE(platform::recvExact(server.get(), buf, &n, &stopped));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(platform::sendAll(server.get(), "abc", 3, &stopped));
    EXPECT_TRUE(client.silentFor(100));  // nothing was sent

    // Deadline: a peer that sends half a field gets a short count back, not a hang.
    ASSERT_TRUE(client.send(Bytes{1, 2, 3}));
    n = 8;
    const auto t0 = platform::Clock::now();
    EXPECT_TRUE(
        platform::recvExact(server.get(), buf, &n, &running, t0 + std::chrono::milliseconds(300)));
    EXPECT_EQ(n, 3u);
    EXPECT_LT(platform::Clock::now() - t0, std::chrono::seconds(2));

    // Clearing the flag from another thread ends a blocked read.
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        running = false;
    });
    n = 8;
    EXPECT_TRUE(platform::recvExact(server.get(), buf, &n, &running));
    EXPECT_EQ(n, 0u);
    stopper.join();
    running = true;

    ASSERT_TRUE(platform::sendAll(server.get(), "hello", 5, &running));
    EXPECT_EQ(client.read(5), nettest::bytesOf("hello"));

    // Orderly close in the middle of a field is a failure with the partial count.
    ASSERT_TRUE(client.send(Bytes{7, 7}));
    client.close();
    n = 4;
    EXPECT_FALSE(platform::recvExact(server.get(), buf, &n, &running));
    EXPECT_EQ(n, 2u);
    // Sending to a vanished peer fails instead of raising SIGPIPE.
    Bytes big(1 << 20, 1);
    bool sent = true;
    for (int i = 0; i < 8 && sent; ++i)
        sent = platform::sendAll(server.get(), big.data(), big.size(), &running,
                                 platform::Clock::now() + std::chrono::seconds(2));
    EXPECT_FALSE(sent);
}

// Plane layout of an odd-height picture: chroma planes hold (height + 1) / 2 rows.
TEST(Protocol, I420PlanesForOddHeight) {
    I420Frame f(7, 5, 8, 4, 4);
    EXPECT_EQ(I420Frame::chromaHeight(5), 3);
    EXPECT_EQ(f.dataU() - f.dataY(), 8 * 5);
    EXPECT_EQ(f.dataV() - f.dataU(), 4 * 3);
    EXPECT_EQ(f.dataA() - f.dataV(), 4 * 3);
    EXPECT_EQ(f.bufferSize(), static_cast<size_t>((4 + 4) * 3 + 5 * (8 + 8)));
    EXPECT_EQ(f.strideA(), 8);
    for (int i = 0; i < 8 * 5; ++i) ASSERT_EQ(f.dataA()[i], 255);
}

// Release actions run exactly once, when the last shared pointer goes, and give pool nodes back.
TEST(Protocol, ReleaseRunsOnceOnLastReference) {
    pp::Abstract_MemPool* pool = pp::create_mempool("test", nullptr);
    ASSERT_NE(pool, nullptr);
    int releases = 0;
    pp::FLMemNode* node = pool->require(I420Frame::bufferSize(4, 4, 2, 2, 4));
    ASSERT_NE(node, nullptr);
    {
        auto frame = std::make_shared<I420Frame>(node->buffer, 4, 2, 2, 4, 4, [&releases, node] {
            ++releases;
            pp::FLMemNode* n = node;
            pp::release_pnode(&n);
        });
        I420FramePtr copy = frame;
        frame.reset();
        EXPECT_EQ(releases, 0);
        I420FramePtr third = copy;
        copy.reset();
        EXPECT_EQ(releases, 0);
    }
    EXPECT_EQ(releases, 1);

    int pcmReleases = 0;
    uint8_t samples[8] = {};
    {
        auto pcm = std::make_shared<PcmFrame>(samples, 8, 8000, 1, 16, [&] { ++pcmReleases; });
        PcmFramePtr other = pcm;
        pcm.reset();
        EXPECT_EQ(pcmReleases, 0);
    }
    EXPECT_EQ(pcmReleases, 1);
    pp::destroy_mempool(pool);
}
