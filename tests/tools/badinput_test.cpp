// Deliberately bad input sends exactly what it claims, and a PC that refuses or drops the
// simulator ends it with a clear message and a non-zero status.
#include <gtest/gtest.h>

#include "fakepc.h"
#include "test_env.h"

using namespace phonesimtest;

namespace {

struct BadRun {
    SimResult result;
    std::vector<QByteArray> conns;
};

BadRun runBad(const QString& mode, QStringList extra = {}) {
    FakePc pc;
    QStringList args{"--port", QString::number(pc.start()),
                     "--fast", "--duration",
                     "0.5",    "--fps",
                     "10",     "--size",
                     "64x64",  "--heartbeat",
                     "0",      "--bad",
                     mode};
    args << extra;
    BadRun run;
    run.result = runSim(args);
    pc.join();
    run.conns = pc.mediaConnections();
    return run;
}

bool startsWithKey(const QByteArray& conn, const QByteArray& key) {
    const auto packets = parsePackets(conn);
    return !packets.empty() && packets[0].type == 0 && packets[0].payload == key;
}

const QByteArray kKey = QByteArray::fromStdString(FakePcConfig().key);

}  // namespace

// Each media mode: the first connection carries the key and then precisely the broken bytes
// and ends there; streaming goes on over a fresh connection that presents the key again and
// starts with a configuration packet.
TEST(PhonesimBadInput, MediaModesSendWhatTheyClaim) {
    {
        const BadRun run = runBad("garbage", {"--garbage-bytes", "1000", "--seed", "7"});
        ASSERT_EQ(run.result.exitCode, 0) << run.result.err.toStdString();
        ASSERT_EQ(run.conns.size(), 2u);
        EXPECT_TRUE(startsWithKey(run.conns[0], kKey));
        EXPECT_EQ(run.conns[0].size(), 12 + kKey.size() + 1000);
        EXPECT_EQ(run.result.summary("bad_inputs"), 1);
    }
    {
        const BadRun run = runBad("oversize");
        ASSERT_EQ(run.conns.size(), 2u);
        const QByteArray tail = run.conns[0].mid(12 + kKey.size());
        EXPECT_EQ(tail, QByteArray::fromHex("00000001000000080000000100000000fffffff0"));
    }
    {
        const BadRun run = runBad("truncate");
        ASSERT_EQ(run.conns.size(), 2u);
        const auto packets = parsePackets(run.conns[0]);
        ASSERT_EQ(packets.size(), 2u);
        EXPECT_EQ(packets[1].type, 1u);
        EXPECT_FALSE(packets[1].complete);
        EXPECT_LT(packets[1].payload.size(), int(packets[1].announced));
    }
    {
        const BadRun run = runBad("bad-extension");
        ASSERT_EQ(run.conns.size(), 2u);
        const auto packets = parsePackets(run.conns[0]);
        ASSERT_EQ(packets.size(), 2u);
        ASSERT_FALSE(packets[1].ext.empty());
        EXPECT_EQ(packets[1].ext[0], 7u);
    }
    for (const char* mode : {"garbage", "oversize", "truncate", "bad-extension"}) {
        const BadRun run = runBad(mode);
        ASSERT_EQ(run.conns.size(), 2u) << mode;
        const auto packets = parsePackets(run.conns[1]);
        ASSERT_GE(packets.size(), 2u) << mode;
        EXPECT_TRUE(startsWithKey(run.conns[1], kKey)) << mode;
        const auto firstVideo = std::find_if(packets.begin(), packets.end(),
                                             [](const Packet& p) { return p.type == 1; });
        ASSERT_NE(firstVideo, packets.end()) << mode;
        EXPECT_EQ(firstVideo->ext, (std::vector<uint32_t>{1, 2})) << mode;
        EXPECT_EQ(run.result.summary("media_connections"), 2) << mode;
    }
}

// A wrong key is a different key on the only connection, and the media still follows it (the PC
// must discard it); mid-stream it replaces a connection that had the right key.
TEST(PhonesimBadInput, WrongKey) {
    BadRun run = runBad("wrong-key");
    ASSERT_EQ(run.result.exitCode, 0) << run.result.err.toStdString();
    ASSERT_EQ(run.conns.size(), 1u);
    auto packets = parsePackets(run.conns[0]);
    ASSERT_GE(packets.size(), 3u);
    EXPECT_EQ(packets[0].type, 0u);
    EXPECT_NE(packets[0].payload, kKey);
    EXPECT_EQ(packets[0].payload.size(), kKey.size());
    EXPECT_EQ(packets[1].type, 1u);

    FakePc pc;
    const SimResult r =
        runSim({"--port", QString::number(pc.start()), "--fast", "--duration", "0.5", "--size",
                "64x64", "--heartbeat", "0", "--at", "0.2:wrong-key"});
    pc.join();
    ASSERT_EQ(pc.mediaConnections().size(), 2u);
    EXPECT_TRUE(startsWithKey(pc.mediaConnections()[0], kKey));
    EXPECT_FALSE(startsWithKey(pc.mediaConnections()[1], kKey));
}

// Broken control frames reach the PC as claimed; the PC closing the command connection then is
// the expected answer, not a failure.
TEST(PhonesimBadInput, ControlModes) {
    FakePc pc;
    SimResult r = runSim({"--port", QString::number(pc.start()), "--duration", "2", "--size",
                          "64x64", "--at", "0.2:control-garbage"});
    pc.join();
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_EQ(pc.brokenFrames().size(), 1u);
    EXPECT_EQ(pc.brokenFrames()[0], "this is not JSON {");

    FakePc pc2;
    r = runSim({"--port", QString::number(pc2.start()), "--duration", "2", "--size", "64x64",
                "--at", "0.2:control-oversize"});
    pc2.join();
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_EQ(pc2.brokenFrames().size(), 1u);
    EXPECT_EQ(pc2.brokenFrames()[0], QByteArray::fromHex("ffffffff"));
}

// Nobody listening, a PC that closes the connection instead of answering Push, and a PC that
// drops the media connection: each is a clear message and status 1, with a summary line.
TEST(PhonesimBadInput, RefusedOrDroppedConnectionFails) {
    SimResult r = runSim({"--port", QString::number(kivotest::freeTcpPort()), "--duration", "1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("cannot connect")) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("result=failed"));

    FakePcConfig refuse;
    refuse.refusePush = true;
    FakePc pc(refuse);
    r = runSim({"--port", QString::number(pc.start()), "--duration", "1", "--size", "64x64"});
    pc.join();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("refused the Push request")) << r.err.toStdString();

    FakePcConfig drop;
    drop.dropMediaAfterKey = true;
    FakePc pc2(drop);
    r = runSim({"--port", QString::number(pc2.start()), "--duration", "3", "--size", "64x64"});
    pc2.join();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("media connection")) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("result=failed"));
}
