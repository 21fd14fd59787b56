// The play server over real loopback sockets: key handshake, outgoing queue, replacement, and
// an idle connection that must not keep a core busy.
#include <gtest/gtest.h>

#include <ctime>

#include "mirror/playserver.h"
#include "net_support.h"

using namespace nettest;
using mirror::PlayServer;

namespace {

const std::string kKey = "{aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee}";

// Play packets have no extension: type, an ignored word, length, payload.
Bytes playPacket(uint32_t type, const Bytes& payload) {
    return be32(type) + be32(0) + be32(static_cast<uint32_t>(payload.size())) + payload;
}

bool queueEventually(PlayServer& s, const Bytes& data) {
    for (int i = 0; i < 200; ++i) {
        if (s.queueOutgoing(data.data(), data.size())) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

// Only the right key opens the outgoing direction; queued packets go out as they are.
TEST(PlayServer, KeyHandshakeAndSending) {
    PlayServer server(kKey);
    ASSERT_TRUE(server.start(0));
    NetClient c(server.boundPort());
    const Bytes hello{1, 2, 3};
    EXPECT_FALSE(server.queueOutgoing(hello.data(), hello.size()));
    ASSERT_TRUE(c.send(playPacket(0, bytesOf("wrong"))));
    ASSERT_TRUE(c.send(playPacket(1, Bytes(500, 9))));  // read and discarded
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(server.queueOutgoing(hello.data(), hello.size()));
    EXPECT_TRUE(c.silentFor(50));  // still connected

    ASSERT_TRUE(c.send(playPacket(0, bytesOf(kKey))));
    ASSERT_TRUE(queueEventually(server, hello));
    const Bytes second{4, 5};
    ASSERT_TRUE(server.queueOutgoing(second.data(), second.size()));
    EXPECT_EQ(c.read(5), (Bytes{1, 2, 3, 4, 5}));
}

// A second play connection replaces the first (dropping its queue) only once it has presented
// the key; a client that leaves before its key is simply dropped.
TEST(PlayServer, ReplacementAndEarlyDisconnect) {
    PlayServer server(kKey);
    ASSERT_TRUE(server.start(0));
    {
        NetClient early(server.boundPort());
        ASSERT_TRUE(early.send(Bytes{0, 0}));
    }
    NetClient first(server.boundPort());
    ASSERT_TRUE(first.send(playPacket(0, bytesOf(kKey))));
    const Bytes data{7};
    ASSERT_TRUE(queueEventually(server, data));
    EXPECT_EQ(first.read(1), data);

    NetClient second(server.boundPort());
    ASSERT_TRUE(second.valid());
    ASSERT_TRUE(server.queueOutgoing(data.data(), data.size()));
    EXPECT_EQ(first.read(1), data) << "a newcomer without the key changes nothing";
    ASSERT_TRUE(second.send(playPacket(0, bytesOf(kKey))));
    EXPECT_TRUE(first.waitClosed());
    ASSERT_TRUE(queueEventually(server, data));
    EXPECT_EQ(second.read(1), data);
}

// An authenticated but idle connection must leave the CPU alone.
TEST(PlayServer, IdleConnectionDoesNotSpin) {
    PlayServer server(kKey);
    ASSERT_TRUE(server.start(0));
    NetClient c(server.boundPort());
    ASSERT_TRUE(c.send(playPacket(0, bytesOf(kKey))));
    const Bytes data{1};
    ASSERT_TRUE(queueEventually(server, data));
    EXPECT_EQ(c.read(1), data);
    const std::clock_t cpu0 = std::clock();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double cpuSeconds = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
    EXPECT_LT(cpuSeconds, 0.3);
}
