// The streaming media server over real loopback sockets: key check, video and audio routing,
// packet framing and connection replacement.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "mirror/streamingmediaserver.h"
#include "net_support.h"

using namespace nettest;
using mirror::StreamingMediaServer;

namespace {

const std::string kKey = "{11111111-2222-3333-4444-555555555555}";

struct Fixture {
    RecordingObserver observer;
    StreamingMediaServer server{kKey, "SER", &observer};
    uint16_t port = 0;
    explicit Fixture(std::chrono::milliseconds keyTimeout = mirror::kMessageTimeout) {
        server.setKeyTimeout(keyTimeout);
        if (server.start(0)) port = server.boundPort();
    }
};

}  // namespace

// The key unlocks the stream; configuration data is flagged by frame kind 2 only.
TEST(MediaServer, KeyThenVideo) {
    Fixture f;
    ASSERT_NE(f.port, 0);
    NetClient c(f.port);
    // Before the key: read and discarded.
    ASSERT_TRUE(c.send(mediaPacket(1, {}, Bytes{9, 9})));
    // An empty key packet does not authenticate.
    ASSERT_TRUE(c.send(mediaPacket(0, {}, Bytes{})));
    ASSERT_TRUE(c.send(mediaPacket(1, {}, Bytes{8, 8})));
    // Wrong key: nothing changes.
    ASSERT_TRUE(c.send(keyPacket(kKey.substr(1)) + mediaPacket(1, {}, Bytes{7})));
    ASSERT_TRUE(c.send(keyPacket(kKey)));
    ASSERT_TRUE(c.send(mediaPacket(1, {1, 2}, Bytes{0, 0, 0, 1, 0x67})));
    ASSERT_TRUE(c.send(mediaPacket(1, {}, Bytes{0, 0, 0, 1, 0x65})));
    ASSERT_TRUE(c.send(mediaPacket(1, {1, 5}, Bytes{0, 0, 0, 1, 0x41})));
    ASSERT_TRUE(f.observer.waitFor([&] { return f.observer.videos.size() == 3; }));
    EXPECT_EQ(f.observer.videos[0].data, (Bytes{0, 0, 0, 1, 0x67}));
    EXPECT_TRUE(f.observer.videos[0].configuration);
    EXPECT_FALSE(f.observer.videos[1].configuration);
    EXPECT_EQ(f.observer.videos[1].data, (Bytes{0, 0, 0, 1, 0x65}));
    EXPECT_FALSE(f.observer.videos[2].configuration);
    EXPECT_EQ(f.observer.videos[2].serial, "SER");
}

// Guards against empty video payloads reaching the decoder queue (each costs a queue entry and
// a decode, for nothing).
TEST(MediaServer, EmptyVideoPayloadIsDropped) {
    Fixture f;
    ASSERT_NE(f.port, 0);
    NetClient c(f.port);
    ASSERT_TRUE(c.send(keyPacket(kKey) + mediaPacket(1, {}, Bytes{}) +
                       mediaPacket(1, {1, 2}, Bytes{}) + mediaPacket(1, {}, Bytes{4})));
    ASSERT_TRUE(f.observer.waitFor(
        [&] { return !f.observer.videos.empty() && f.observer.videos.back().data == Bytes{4}; }));
    EXPECT_EQ(f.observer.locked([&] { return f.observer.videos.size(); }), 1u);
}

// Audio reaches the observer only with a complete format; other packet types are skipped whole.
TEST(MediaServer, AudioFormatsAndOtherTypes) {
    Fixture f;
    ASSERT_NE(f.port, 0);
    NetClient c(f.port);
    ASSERT_TRUE(c.send(keyPacket(kKey)));
    ASSERT_TRUE(c.send(mediaPacket(2, {}, Bytes(64, 1))));                // no format
    ASSERT_TRUE(c.send(mediaPacket(2, {2, 0, 1, 16}, Bytes(64, 2))));     // zero rate
    ASSERT_TRUE(c.send(mediaPacket(2, {2, 8000, 0, 16}, Bytes(64, 3))));  // zero channels
    ASSERT_TRUE(c.send(mediaPacket(3, {}, Bytes(1000, 4))));              // unknown type
    ASSERT_TRUE(c.send(mediaPacket(2, {2, 8000, 1, 8}, Bytes(1024, 5))));
    ASSERT_TRUE(c.send(mediaPacket(2, {2, 48000, 2, 16}, Bytes(16, 6))));
    // Packets are handled in order: once this marker is in, nothing earlier can still come.
    ASSERT_TRUE(c.send(mediaPacket(2, {2, 8000, 1, 16}, Bytes(2, 0x7f))));
    ASSERT_TRUE(f.observer.waitFor([&] { return f.observer.audios.size() >= 3; }));
    auto audios = f.observer.locked([&] { return f.observer.audios; });
    ASSERT_EQ(audios.size(), 3u);
    EXPECT_EQ(audios[2].data, Bytes(2, 0x7f));
    audios.pop_back();
    EXPECT_EQ(audios[0].data, Bytes(1024, 5));
    EXPECT_EQ(audios[0].sampleRate, 8000);
    EXPECT_EQ(audios[0].channels, 1);
    EXPECT_EQ(audios[0].bits, 8);
    EXPECT_EQ(audios[1].data, Bytes(16, 6));
    EXPECT_EQ(audios[1].channels, 2);
    EXPECT_EQ(audios[1].bits, 16);
    EXPECT_TRUE(f.observer.videos.empty());
}

// Guards against any host on the network cutting the phone off: a new media connection replaces
// the phone's only once it has presented the key; a wrong key, or none in time, drops just the
// newcomer. The phone's own reconnect still takes over.
TEST(MediaServer, NewcomerReplacesTheClientOnlyWithTheKey) {
    Fixture f(std::chrono::milliseconds(300));
    ASSERT_NE(f.port, 0);
    NetClient first(f.port);
    ASSERT_TRUE(first.send(keyPacket(kKey) + mediaPacket(1, {}, Bytes{1})));
    ASSERT_TRUE(f.observer.waitFor([&] { return f.observer.videos.size() == 1; }));

    NetClient silent(f.port);
    NetClient wrong(f.port);
    ASSERT_TRUE(wrong.send(mediaPacket(1, {}, Bytes{9}) + keyPacket(kKey.substr(1))));
    EXPECT_TRUE(wrong.waitClosed());
    EXPECT_TRUE(silent.waitClosed(5000));
    ASSERT_TRUE(first.send(mediaPacket(1, {}, Bytes{2})));
    ASSERT_TRUE(f.observer.waitFor([&] { return f.observer.videos.size() == 2; }));

    NetClient second(f.port);
    ASSERT_TRUE(second.send(keyPacket(kKey) + mediaPacket(1, {}, Bytes{3})));
    EXPECT_TRUE(first.waitClosed());
    ASSERT_TRUE(f.observer.waitFor([&] { return f.observer.videos.size() == 3; }));
    EXPECT_EQ(f.observer.videos[1].data, Bytes{2});
    EXPECT_EQ(f.observer.videos[2].data, Bytes{3});
}

// Packets split into single bytes and large payloads arrive whole and in order.
TEST(MediaServer, FragmentedAndLargePackets) {
    Fixture f;
    ASSERT_NE(f.port, 0);
    NetClient c(f.port);
    const Bytes stream = keyPacket(kKey) + mediaPacket(1, {1, 2}, Bytes{5, 6, 7});
    for (uint8_t b : stream) ASSERT_TRUE(c.send(Bytes{b}));
    Bytes big(3 << 20);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(c.send(mediaPacket(1, {}, big)));
    ASSERT_TRUE(f.observer.waitFor([&] { return f.observer.videos.size() == 2; }, 10000));
    EXPECT_EQ(f.observer.videos[0].data, (Bytes{5, 6, 7}));
    EXPECT_TRUE(f.observer.videos[1].data == big);
}
