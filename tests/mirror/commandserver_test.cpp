// The command server over real loopback sockets: replies, session start and end, observer calls.
#include <gtest/gtest.h>

#include <json/json.h>

#include <QRegularExpression>
#include <QString>

#include <memory>

#include "mirror/commandserver.h"
#include "net_support.h"
#include "test_env.h"

using namespace nettest;
using mirror::CommandServer;

namespace {

Json::Value parseJson(const std::string& text) {
    Json::Value v;
    Json::Reader().parse(text, v);
    return v;
}

std::string pushRequest(int type, const std::string& serial, const std::string& name) {
    return "{\"type\":" + std::to_string(type) + ",\"version\":\"1.0\",\"data\":{\"serial\":\"" +
           serial + "\",\"name\":\"" + name + "\",\"device\":\"phone\"}}";
}

struct Fixture {
    RecordingObserver observer;
    std::unique_ptr<CommandServer> server;
    uint16_t port = 0;

    bool start(std::chrono::milliseconds sessionStartTimeout = mirror::kMessageTimeout) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            // The media port search starts right above the command port, so leave room.
            port = static_cast<uint16_t>(kivotest::freeTcpPort());
            if (port == 0 || port > 64000) continue;
            server = std::make_unique<CommandServer>(&observer);
            server->setSessionStartTimeout(sessionStartTimeout);
            if (server->start(port)) return true;
        }
        return false;
    }
};

}  // namespace

// Heartbeat, screenshot, no-action and unknown types: the right reply or none, connection kept.
TEST(CommandServer, SimpleRequests) {
    Fixture f;
    ASSERT_TRUE(f.start());
    NetClient c(f.port);
    ASSERT_TRUE(c.send(controlFrame("{\"type\":-1}")));
    const Bytes raw = c.read(32);
    const std::string body = "{\"type\":-1,\"version\":\"1.0\"}\n";
    EXPECT_EQ(raw, be32(static_cast<uint32_t>(body.size())) + bytesOf(body));

    // Type 3 and unknown types get no reply and leave the connection open: the next thing to
    // arrive is the answer to the heartbeat sent after them.
    ASSERT_TRUE(c.send(controlFrame("{\"type\":3}")));
    ASSERT_TRUE(c.send(controlFrame("{\"type\":42}")));
    ASSERT_TRUE(c.send(controlFrame("{\"type\":-1}")));
    EXPECT_EQ(c.readControl(), body);

    ASSERT_TRUE(c.send(controlFrame("{\"type\":4}")));
    EXPECT_EQ(c.readControl(), "{\"type\":0,\"version\":\"1.0\"}\n");
    EXPECT_TRUE(f.observer.waitFor([&] { return f.observer.shots == 1; }));

    ASSERT_TRUE(c.send(controlFrame("{\"type\":-1}")));
    EXPECT_EQ(c.readControl(), body);
}

// Recording requests: 1 starts (true), negative stops (false), 2 and above only query.
TEST(CommandServer, RecordingRequestTypes) {
    Fixture f;
    ASSERT_TRUE(f.start());
    std::atomic<bool> recording{true};
    f.server->stop();
    f.server->setRecordingStateProvider([&] { return recording.load(); });
    ASSERT_TRUE(f.server->start(f.port));
    NetClient c(f.port);
    auto ask = [&](int t) {
        c.send(controlFrame("{\"type\":5,\"data\":{\"type\":" + std::to_string(t) + "}}"));
        return c.readControl();
    };
    const std::string yes = "{\"data\":{\"state\":true},\"type\":0,\"version\":\"1.0\"}\n";
    const std::string no = "{\"data\":{\"state\":false},\"type\":0,\"version\":\"1.0\"}\n";
    EXPECT_EQ(ask(2), yes);
    recording = false;
    EXPECT_EQ(ask(7), no);
    EXPECT_TRUE(f.observer.locked([&] { return f.observer.recordRequests.empty(); }));
    EXPECT_EQ(ask(1), yes);
    EXPECT_EQ(ask(-3), no);
    EXPECT_EQ(ask(0), no);
    ASSERT_TRUE(f.observer.waitFor([&] { return f.observer.recordRequests.size() == 3; }));
    EXPECT_EQ(f.observer.recordRequests, (std::vector<bool>{true, false, false}));
}

// Push: reply with the first free port above the command port and a braced UUID key; the
// observer hears of the phone once; the media server really listens there.
TEST(CommandServer, PushStartsMediaServerAboveCommandPort) {
    Fixture f;
    ASSERT_TRUE(f.start());
    // Take the port right above so the search has to move on.
    platform::Socket blocker = platform::createTcpSocket();
    platform::setReuseAddress(blocker.get(), true);
    const bool blocked =
        platform::bindAnyAddress(blocker.get(), f.port + 1) && platform::listenOn(blocker.get(), 1);

    NetClient c(f.port);
    ASSERT_TRUE(c.send(controlFrame(pushRequest(0, "SER1", "Phone One"))));
    const Json::Value reply = parseJson(c.readControl());
    ASSERT_TRUE(reply.isObject());
    EXPECT_EQ(reply["type"].asInt(), 0);
    EXPECT_EQ(reply["version"].asString(), "1.0");
    EXPECT_EQ(reply["data"]["bite_rate"].asInt(), 4);
    const int mediaPort = reply["data"]["port"].asInt();
    if (blocked) {
        EXPECT_GE(mediaPort, f.port + 2);
    }
    EXPECT_GT(mediaPort, f.port);
    const QString key = QString::fromStdString(reply["data"]["key"].asString());
    EXPECT_TRUE(QRegularExpression("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-"
                                   "[0-9a-f]{12}\\}$")
                    .match(key)
                    .hasMatch())
        << key.toStdString();

    ASSERT_TRUE(f.observer.waitFor([&] { return f.observer.connected.size() == 1; }));
    EXPECT_EQ(f.observer.connected[0],
              std::make_pair(std::string("SER1"), std::string("Phone One")));

    NetClient media(static_cast<uint16_t>(mediaPort));
    ASSERT_TRUE(media.valid());
    ASSERT_TRUE(media.send(keyPacket(key.toStdString()) + mediaPacket(1, {}, Bytes{0, 0, 1})));
    ASSERT_TRUE(f.observer.waitFor([&] { return f.observer.videos.size() == 1; }));
    EXPECT_EQ(f.observer.videos[0].serial, "SER1");
}

// End of session: the reply arrives first, then the close; onDisconnected exactly once.
TEST(CommandServer, EndOfSessionRepliesThenCloses) {
    Fixture f;
    ASSERT_TRUE(f.start());
    NetClient c(f.port);
    ASSERT_TRUE(c.send(controlFrame(pushRequest(0, "S2", "Two"))));
    const Json::Value reply = parseJson(c.readControl());
    const uint16_t mediaPort = static_cast<uint16_t>(reply["data"]["port"].asInt());
    ASSERT_TRUE(c.send(controlFrame("{\"type\":2}")));
    EXPECT_EQ(c.readControl(), "{\"type\":0,\"version\":\"1.0\"}\n");
    EXPECT_TRUE(c.waitClosed());
    ASSERT_TRUE(f.observer.waitFor([&] { return !f.observer.disconnected.empty(); }));
    // Served only once the loop is past that client's close: a second report would be in.
    ASSERT_TRUE(heartbeatWorks(f.port));
    EXPECT_EQ(f.observer.locked([&] { return f.observer.disconnected; }),
              std::vector<std::string>{"S2"});
    // The media server is gone with the session.
    EXPECT_FALSE(platform::connectLoopback(mediaPort).valid());
}

// A Play session calls nothing at its start but still reports its end; losing the control
// connection ends an active session once.
TEST(CommandServer, PlaySessionAndLostConnection) {
    Fixture f;
    ASSERT_TRUE(f.start());
    {
        NetClient c(f.port);
        ASSERT_TRUE(c.send(controlFrame(pushRequest(1, "P1", "Player"))));
        const Json::Value reply = parseJson(c.readControl());
        EXPECT_EQ(reply["type"].asInt(), 0);
        EXPECT_GT(reply["data"]["port"].asInt(), f.port);
        ASSERT_TRUE(c.send(controlFrame("{\"type\":2}")));
        EXPECT_EQ(c.readControl(), "{\"type\":0,\"version\":\"1.0\"}\n");
        EXPECT_TRUE(c.waitClosed());
    }
    ASSERT_TRUE(f.observer.waitFor([&] { return f.observer.disconnected.size() == 1; }));
    EXPECT_TRUE(f.observer.connected.empty());
    EXPECT_EQ(f.observer.disconnected[0], "P1");

    {
        NetClient c(f.port);
        ASSERT_TRUE(c.send(controlFrame(pushRequest(0, "P2", "Pusher"))));
        EXPECT_FALSE(c.readControl().empty());
    }  // connection dropped without end-of-session
    ASSERT_TRUE(f.observer.waitFor([&] { return f.observer.disconnected.size() == 2; }));
    ASSERT_TRUE(heartbeatWorks(f.port));
    EXPECT_EQ(f.observer.locked([&] { return f.observer.disconnected; }),
              (std::vector<std::string>{"P1", "P2"}));
}

// A second Push on the same connection ends the first session before starting the next, so
// every start has exactly one end.
TEST(CommandServer, SecondPushEndsFirstSession) {
    Fixture f;
    ASSERT_TRUE(f.start());
    NetClient c(f.port);
    ASSERT_TRUE(c.send(controlFrame(pushRequest(0, "A", "a"))));
    EXPECT_FALSE(c.readControl().empty());
    ASSERT_TRUE(c.send(controlFrame(pushRequest(0, "B", "b"))));
    EXPECT_FALSE(c.readControl().empty());
    ASSERT_TRUE(f.observer.waitFor([&] { return f.observer.connected.size() == 2; }));
    EXPECT_EQ(f.observer.locked([&] { return f.observer.disconnected; }),
              std::vector<std::string>{"A"});
}

// With a phone connected a second one waits in the backlog and is served once the first leaves.
TEST(CommandServer, SecondPhoneWaitsInBacklog) {
    Fixture f;
    ASSERT_TRUE(f.start());
    auto first = std::make_unique<NetClient>(f.port);
    ASSERT_TRUE(first->send(controlFrame("{\"type\":-1}")));
    ASSERT_FALSE(first->readControl().empty());

    NetClient second(f.port);
    ASSERT_TRUE(second.valid());
    ASSERT_TRUE(second.send(controlFrame("{\"type\":-1}")));
    EXPECT_TRUE(second.silentFor(400));
    first.reset();
    EXPECT_EQ(second.readControl(), "{\"type\":-1,\"version\":\"1.0\"}\n");
}

// Guards against a silent client holding the port (one client is served at a time) for good:
// without a session it is dropped in time, while a client in a session is left alone.
TEST(CommandServer, ClientWithoutSessionIsDroppedInTime) {
    Fixture f;
    ASSERT_TRUE(f.start(std::chrono::milliseconds(300)));
    NetClient silent(f.port);
    ASSERT_TRUE(silent.send(controlFrame("{\"type\":-1}")));  // a heartbeat starts nothing
    EXPECT_FALSE(silent.readControl().empty());
    EXPECT_TRUE(silent.waitClosed(5000));
    NetClient phone(f.port);
    ASSERT_TRUE(phone.send(controlFrame(pushRequest(0, "S", "s"))));
    EXPECT_FALSE(phone.readControl().empty());
    EXPECT_TRUE(phone.silentFor(900)) << "a client in a session must not be cut";
}

// Malformed requests close only that connection; the server keeps serving.
TEST(CommandServer, BadRequestsCloseOnlyThatClient) {
    Fixture f;
    ASSERT_TRUE(f.start());
    const std::vector<std::string> bad = {"not json", "{\"type\":{}}", "{\"type\":0,\"data\":{",
                                          "{\"type\":0,\"data\":{\"serial\":[1]}}",
                                          "{\"type\":5,\"data\":[true]}"};
    for (const std::string& text : bad) {
        NetClient c(f.port);
        ASSERT_TRUE(c.send(controlFrame(text)));
        EXPECT_TRUE(c.waitClosed()) << text;
    }
    EXPECT_TRUE(heartbeatWorks(f.port));
    EXPECT_TRUE(f.observer.connected.empty());
}

namespace {

// Notes whether the phone could already read its Push reply when the connection was announced.
class ReplyOrderObserver : public RecordingObserver {
public:
    NetClient* phone = nullptr;
    std::atomic<int> replyBeforeConnected{-1};
    void onConnected(const char* serial, const char* name) override {
        // The server thread is inside this call, so a reply sent after it cannot arrive here.
        replyBeforeConnected = phone->read(4, 50).empty() ? 0 : 1;
        RecordingObserver::onConnected(serial, name);
    }
};

}  // namespace

// A fast phone sends its parameter sets as soon as it has the media port; the connection object
// that receives them must exist by then, so the observer hears of the session before the reply.
TEST(CommandServer, SessionAnnouncedBeforeReply) {
    ReplyOrderObserver observer;
    CommandServer server(&observer);
    uint16_t port = 0;
    for (int attempt = 0; attempt < 20 && port == 0; ++attempt) {
        const auto candidate = static_cast<uint16_t>(kivotest::freeTcpPort());
        if (candidate != 0 && candidate < 64000 && server.start(candidate)) port = candidate;
    }
    ASSERT_NE(0, port);
    NetClient phone(port);
    observer.phone = &phone;
    ASSERT_TRUE(phone.send(controlFrame(pushRequest(0, "S1", "Phone"))));
    ASSERT_TRUE(observer.waitFor([&] { return !observer.connected.empty(); }));
    EXPECT_EQ(0, observer.replyBeforeConnected.load());
    EXPECT_EQ(4u, phone.read(4).size());
    server.stop();
}
