// Hostile peers against all three servers: garbage, lengths at and over every bound, cuts in
// every field, unknown extensions, stalls, descriptor exhaustion and connection churn. After
// each, a well-behaved client must still be served.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

#include "kivobridge/bridge.h"
#include "mirror/command.h"
#include "mirror/commandserver.h"
#include "mirror/mediapacket.h"
#include "mirror/playserver.h"
#include "mirror/streamingmediaserver.h"
#include "net_support.h"
#include "test_env.h"

using namespace nettest;
using namespace std::chrono_literals;

namespace {

const std::string kKey = "{01234567-89ab-cdef-0123-456789abcdef}";

struct CommandFixture {
    RecordingObserver observer;
    std::unique_ptr<mirror::CommandServer> server;
    uint16_t port = 0;
    CommandFixture() {
        for (int i = 0; i < 20 && !server; ++i) {
            port = static_cast<uint16_t>(kivotest::freeTcpPort());
            if (port == 0 || port > 64000) continue;
            auto s = std::make_unique<mirror::CommandServer>(&observer);
            if (s->start(port)) server = std::move(s);
        }
    }
};

struct MediaFixture {
    RecordingObserver observer;
    mirror::StreamingMediaServer server{kKey, "SER", &observer};
    uint16_t port = 0;
    MediaFixture() {
        if (server.start(0)) port = server.boundPort();
    }
    // A fresh client that authenticates and gets one video packet through.
    bool goodClientServed() {
        const size_t before = observer.locked([&] { return observer.videos.size(); });
        NetClient c(port);
        if (!c.send(keyPacket(kKey) + mediaPacket(1, {1, 2}, Bytes{0, 0, 0, 1, 0x67})))
            return false;
        return observer.waitFor([&] { return observer.videos.size() == before + 1; });
    }
};

Bytes randomBytes(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

template <typename F>
std::chrono::milliseconds timed(F f) {
    const auto t0 = platform::Clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(platform::Clock::now() - t0);
}

// The command server takes one phone at a time and the backlog holds five; a burst of
// connections beyond that costs the client a one-second SYN retry, so bursts are paced.
void pace() {
    std::this_thread::sleep_for(3ms);
}

bool fdCountSettles(int baseline) {
    for (int i = 0; i < 60; ++i) {
        if (platform::openFdCount() <= baseline) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

}  // namespace

// Random bytes must never take a server down, whatever they decode to.
TEST(BadInput, RandomBytes) {
    CommandFixture cmd;
    ASSERT_TRUE(cmd.server);
    MediaFixture media;
    ASSERT_NE(media.port, 0);
    mirror::PlayServer play(kKey);
    ASSERT_TRUE(play.start(0));
    std::mt19937 rng(1234);
    for (int i = 0; i < 60; ++i) {
        const Bytes junk = randomBytes(rng, 1 + rng() % 300);
        NetClient a(cmd.port), b(media.port), c(play.boundPort());
        a.send(junk);
        b.send(keyPacket(kKey) + junk);
        c.send(junk);
        pace();
    }
    // Plausible frames around garbage JSON as well.
    for (int i = 0; i < 30; ++i) {
        const Bytes junk = randomBytes(rng, rng() % 200);
        NetClient a(cmd.port);
        a.send(controlFrame(std::string(junk.begin(), junk.end())));
        pace();
    }
    EXPECT_TRUE(heartbeatWorks(cmd.port));
    EXPECT_TRUE(media.goodClientServed());
    EXPECT_TRUE(cmd.server->isServing());
    EXPECT_TRUE(media.server.isServing());
    EXPECT_TRUE(play.isServing());
}

// Control text: exactly 1 MiB is served, one byte more closes that client only.
TEST(BadInput, ControlLengthBound) {
    CommandFixture f;
    ASSERT_TRUE(f.server);
    std::string atBound = "{\"type\":-1}";
    atBound.resize(mirror::kMaxControlTextBytes, ' ');
    NetClient ok(f.port);
    ASSERT_TRUE(ok.send(controlFrame(atBound)));
    EXPECT_EQ(ok.readControl(), "{\"type\":-1,\"version\":\"1.0\"}\n");
    ok.close();

    NetClient over(f.port);
    ASSERT_TRUE(over.send(be32(mirror::kMaxControlTextBytes + 1)));
    EXPECT_TRUE(over.waitClosed());
    NetClient huge(f.port);
    ASSERT_TRUE(huge.send(be32(0xFFFFFFFFu)));
    EXPECT_TRUE(huge.waitClosed());
    // A zero length is an empty, invalid text: the client is closed, nothing else happens.
    NetClient empty(f.port);
    ASSERT_TRUE(empty.send(be32(0)));
    EXPECT_TRUE(empty.waitClosed());
    EXPECT_TRUE(heartbeatWorks(f.port));
}

// Media: extension of 4 KiB and payload of 32 MiB pass; one byte more drops the client.
TEST(BadInput, MediaLengthBounds) {
    MediaFixture f;
    ASSERT_NE(f.port, 0);
    {
        NetClient c(f.port);
        std::vector<uint32_t> ext(mirror::kMaxExtensionBytes / 4, 0);
        ext[0] = 1;
        ext[1] = 2;
        ASSERT_TRUE(c.send(keyPacket(kKey) + mediaPacket(1, ext, Bytes{1, 2})));
        ASSERT_TRUE(f.observer.waitFor([&] { return f.observer.videos.size() == 1; }));
        EXPECT_TRUE(f.observer.videos[0].configuration);

        Bytes big(mirror::kMaxPayloadBytes, 0x5a);
        ASSERT_TRUE(c.send(mediaPacket(1, {}, big)));
        ASSERT_TRUE(f.observer.waitFor([&] { return f.observer.videos.size() == 2; }, 20000));
        EXPECT_EQ(f.observer.videos[1].data.size(), mirror::kMaxPayloadBytes);
        f.observer.locked([&] { return f.observer.videos.clear(), 0; });
    }
    {
        NetClient c(f.port);
        ASSERT_TRUE(c.send(keyPacket(kKey) + be32(1) + be32(mirror::kMaxExtensionBytes + 1)));
        EXPECT_TRUE(c.waitClosed());
    }
    {
        NetClient c(f.port);
        ASSERT_TRUE(
            c.send(keyPacket(kKey) + be32(1) + be32(0) + be32(mirror::kMaxPayloadBytes + 1)));
        EXPECT_TRUE(c.waitClosed());
    }
    {
        mirror::PlayServer play(kKey);
        ASSERT_TRUE(play.start(0));
        NetClient c(play.boundPort());
        ASSERT_TRUE(c.send(be32(1) + be32(0) + be32(0xFFFFFFF0u)));
        EXPECT_TRUE(c.waitClosed());
    }
    EXPECT_TRUE(f.goodClientServed());
}

// Unknown extension kinds and extensions too short for their kind are protocol errors; the
// client is dropped and nothing reaches the observer.
TEST(BadInput, BadExtensions) {
    MediaFixture f;
    ASSERT_NE(f.port, 0);
    const std::vector<Bytes> bad = {
        mediaPacket(1, {0, 2}, Bytes{1}),                      // kind 0
        mediaPacket(1, {3, 2}, Bytes{1}),                      // kind 3
        mediaPacket(2, {0xFFFFFFFFu}, Bytes{1}),               // kind max
        mediaPacket(1, {1}, Bytes{1}),                         // kind 1 without its frame kind
        mediaPacket(2, {2, 8000, 1}, Bytes{1}),                // kind 2 without bits per sample
        be32(1) + be32(2) + Bytes{0, 1} + be32(1) + Bytes{1},  // not even a whole kind word
        be32(1) + be32(6) + be32(1) + Bytes{0, 2} + be32(1) + Bytes{1},  // kind 1, half a word
    };
    for (const Bytes& packet : bad) {
        NetClient c(f.port);
        ASSERT_TRUE(c.send(keyPacket(kKey) + packet));
        EXPECT_TRUE(c.waitClosed());
    }
    EXPECT_TRUE(f.observer.locked([&] { return f.observer.videos.empty(); }));
    EXPECT_TRUE(f.observer.locked([&] { return f.observer.audios.empty(); }));
    EXPECT_TRUE(f.goodClientServed());
}

// A peer that disconnects at any byte of a packet is dropped cleanly; partial packets never
// reach the observer.
TEST(BadInput, DisconnectInEveryField) {
    MediaFixture f;
    ASSERT_NE(f.port, 0);
    const Bytes audio = mediaPacket(2, {2, 8000, 1, 16}, Bytes(10, 3));
    for (size_t cut = 1; cut < audio.size(); ++cut) {
        NetClient c(f.port);
        ASSERT_TRUE(c.send(keyPacket(kKey) + Bytes(audio.begin(), audio.begin() + cut)));
        c.close();
        pace();
    }
    CommandFixture cmd;
    ASSERT_TRUE(cmd.server);
    const Bytes push =
        controlFrame("{\"type\":0,\"data\":{\"serial\":\"X\",\"name\":\"Y\",\"device\":\"Z\"}}");
    for (size_t cut = 1; cut < push.size(); ++cut) {
        NetClient c(cmd.port);
        ASSERT_TRUE(c.send(Bytes(push.begin(), push.begin() + cut)));
        c.close();
        pace();
    }
    mirror::PlayServer play(kKey);
    ASSERT_TRUE(play.start(0));
    const Bytes key = be32(0) + be32(0) + be32(static_cast<uint32_t>(kKey.size())) + bytesOf(kKey);
    for (size_t cut = 1; cut < key.size(); ++cut) {
        NetClient c(play.boundPort());
        ASSERT_TRUE(c.send(Bytes(key.begin(), key.begin() + cut)));
        c.close();
        pace();
    }
    EXPECT_TRUE(f.goodClientServed());
    EXPECT_TRUE(f.observer.locked([&] { return f.observer.audios.empty(); }));
    EXPECT_TRUE(heartbeatWorks(cmd.port));
    EXPECT_TRUE(cmd.observer.locked([&] { return cmd.observer.connected.empty(); }));
    // The play server still completes a handshake.
    NetClient good(play.boundPort());
    ASSERT_TRUE(good.send(key));
    bool queued = false;
    for (int i = 0; i < 200 && !queued; ++i) {
        const uint8_t b = 1;
        queued = play.queueOutgoing(&b, 1);
        if (!queued) std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(queued);
}

// Stop and destruction return promptly whatever a peer does: half a header and silence, or a
// peer that never reads what it is sent.
TEST(BadInput, StalledPeerDuringStop) {
    CommandFixture cmd;
    ASSERT_TRUE(cmd.server);
    NetClient stalledCmd(cmd.port);
    ASSERT_TRUE(stalledCmd.send(Bytes{0, 0}));
    std::this_thread::sleep_for(100ms);
    EXPECT_LT(timed([&] { cmd.server->stop(); }), 1000ms);
    EXPECT_LT(timed([&] { cmd.server.reset(); }), 1000ms);

    auto media = std::make_unique<MediaFixture>();
    ASSERT_NE(media->port, 0);
    NetClient stalledMedia(media->port);
    ASSERT_TRUE(stalledMedia.send(keyPacket(kKey) + be32(1) + be32(0) + be32(1000) + Bytes(10)));
    std::this_thread::sleep_for(100ms);
    EXPECT_LT(timed([&] { media->server.stop(); }), 1000ms);
    EXPECT_LT(timed([&] { media.reset(); }), 1000ms);

    // A play client that authenticates and then never reads while a lot is queued for it.
    auto play = std::make_unique<mirror::PlayServer>(kKey);
    ASSERT_TRUE(play->start(0));
    NetClient deaf(play->boundPort());
    ASSERT_TRUE(
        deaf.send(be32(0) + be32(0) + be32(static_cast<uint32_t>(kKey.size())) + bytesOf(kKey)));
    const Bytes chunk(1 << 20, 7);
    int queued = 0;
    for (int i = 0; i < 400 && queued < 32; ++i) {
        if (play->queueOutgoing(chunk.data(), chunk.size())) {
            ++queued;
        } else {
            std::this_thread::sleep_for(5ms);
        }
    }
    EXPECT_GT(queued, 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_LT(timed([&] { play.reset(); }), 1000ms);

    // A stalled push peer mid-session: the command server's destruction is prompt too.
    CommandFixture session;
    ASSERT_TRUE(session.server);
    NetClient phone(session.port);
    ASSERT_TRUE(phone.send(controlFrame("{\"type\":0,\"data\":{\"serial\":\"S\"}}")));
    ASSERT_FALSE(phone.readControl().empty());
    ASSERT_TRUE(phone.send(be32(50)));
    std::this_thread::sleep_for(100ms);
    EXPECT_LT(timed([&] { session.server.reset(); }), 1000ms);
}

// A message not completed within ten seconds drops its peer; others are served meanwhile
// after it is gone.
TEST(BadInput, IncompleteMessageTimesOut) {
    MediaFixture f;
    ASSERT_NE(f.port, 0);
    NetClient slow(f.port);
    ASSERT_TRUE(slow.send(keyPacket(kKey) + be32(1) + be32(0)));  // no length word follows
    const auto waited = timed([&] { EXPECT_TRUE(slow.waitClosed(15000)); });
    EXPECT_GE(waited, 9000ms);
    EXPECT_TRUE(f.goodClientServed());
}

// 1000 connect-and-drop cycles leave no descriptor behind.
TEST(BadInput, ConnectDropCyclesLeakNothing) {
    CommandFixture cmd;
    ASSERT_TRUE(cmd.server);
    MediaFixture media;
    ASSERT_NE(media.port, 0);
    ASSERT_TRUE(heartbeatWorks(cmd.port));
    ASSERT_TRUE(media.goodClientServed());
    const int baseline = platform::openFdCount();
    ASSERT_GT(baseline, 0);
    for (int i = 0; i < 1000; ++i) {
        NetClient a(cmd.port);
        if (i % 2) a.send(Bytes{0, 0, 0});
        NetClient b(media.port);
        if (i % 3 == 0) b.send(keyPacket(kKey));
        a.close();
        b.close();
        pace();
    }
    EXPECT_TRUE(fdCountSettles(baseline)) << platform::openFdCount() << " vs " << baseline;
    EXPECT_TRUE(heartbeatWorks(cmd.port));
    EXPECT_TRUE(media.goodClientServed());
}

// Running out of descriptors fails that accept only; the server keeps serving afterwards.
TEST(BadInput, AcceptFailureKeepsServing) {
    CommandFixture cmd;
    ASSERT_TRUE(cmd.server);
    // Opened before the descriptors run out: the refused accepts are counted in the log.
    std::FILE* log = std::fopen(bg::CD->logger()->filePath().c_str(), "r");
    ASSERT_NE(log, nullptr);
    auto refusedAccepts = [log] {
        std::rewind(log);
        int n = 0;
        char line[4096];
        while (std::fgets(line, sizeof line, log))
            n += std::strstr(line, "Accept failed") != nullptr;
        return n;
    };
    const int refusedBefore = refusedAccepts();
    const long oldLimit = platform::openFileLimit();
    ASSERT_GT(oldLimit, 0);
    const int count = platform::openFdCount();
    ASSERT_TRUE(platform::setOpenFileLimit(count + 8));
    std::vector<platform::Socket> filler;
    for (;;) {
        platform::Socket s = platform::createTcpSocket();
        if (!s.valid()) break;
        filler.push_back(std::move(s));
    }
    // The client takes the last free descriptor, so the server has none left to accept it with;
    // it waits in the backlog.
    ASSERT_FALSE(filler.empty());
    filler.pop_back();
    NetClient waiting(cmd.port);
    ASSERT_TRUE(waiting.valid());
    const auto deadline = platform::Clock::now() + 10s;
    while (refusedAccepts() < refusedBefore + 3 && platform::Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    const int refused = refusedAccepts() - refusedBefore;
    const bool servingDuring = cmd.server->isServing();
    filler.clear();
    ASSERT_TRUE(platform::setOpenFileLimit(oldLimit));
    std::fclose(log);
    EXPECT_GE(refused, 3) << "several accepts refused";
    EXPECT_TRUE(servingDuring);
    ASSERT_TRUE(waiting.send(controlFrame("{\"type\":-1}")));
    EXPECT_EQ(waiting.readControl(), "{\"type\":-1,\"version\":\"1.0\"}\n");
}
