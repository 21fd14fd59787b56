#include "mirror/commandserver.h"

// The bridge headers come before Qt's: Qt defines "emit" as a macro.
#include "kivobridge/log.h"

#include <QDebug>
#include <QUuid>

#include <algorithm>

#include "mirror/playserver.h"
#include "mirror/streamingmediaserver.h"

namespace mirror {
namespace {

// After a failed accept the listener is left alone this long, so a descriptor shortage does
// not turn the loop into a busy spin.

}  // namespace

CommandServer::CommandServer(MirrorObserver* observer)
    : observer_(observer), pool_(pp::create_mempool(nullptr, nullptr)) {}

CommandServer::~CommandServer() {
    stop();
    closeAllClients();
    mediaServer_.reset();
}

void CommandServer::setRecordingStateProvider(std::function<bool()> provider) {
    recordingState_ = std::move(provider);
}

void CommandServer::setRecordStartProvider(std::function<bool()> provider) {
    recordStart_ = std::move(provider);
}

void CommandServer::closeAllClients() {
    for (const ClientRecord& c : clients_) platform::closeSocket(c.socket);
    clients_.clear();
}

void CommandServer::run() {
    while (running_) {
        closeIdleClients();
        // The listener joins the set only while nobody is served: a second phone waits in the
        // backlog, and its pending connection must not wake the loop again and again.
        const bool mayAccept = clients_.empty() && acceptAllowed();
        std::vector<platform::PollEntry> set;
        if (mayAccept) set.push_back({listenSocket(), true, false, false, false});
        for (const ClientRecord& c : clients_) {
            if (c.socket != platform::kInvalidSocket && set.size() < 64)
                set.push_back({c.socket, true, false, false, false});
        }
        const int rc = platform::pollSockets(set.data(), set.size(), 5000);
        if (rc == 0) continue;
        if (rc < 0) {
            LOGE("Error in select");
            return;
        }
        size_t first = 0;
        if (mayAccept) {
            first = 1;
            if (set[0].readable) {
                int fd = platform::kInvalidSocket;
                if (acceptClient(&fd) == 1) {
                    ClientRecord client;
                    client.socket = fd;
                    client.startBy = platform::Clock::now() + startTimeout_;
                    clients_.push_back(client);
                }
            }
        }
        std::vector<int> closeList;
        for (size_t i = first; i < set.size(); ++i) {
            if (!set[i].readable) continue;
            auto it = std::find_if(clients_.begin(), clients_.end(),
                                   [&](const ClientRecord& c) { return c.socket == set[i].fd; });
            if (it == clients_.end()) continue;
            const int fd = it->socket;
            std::string text;
            uint32_t length = 0;
            const ReadResult r = readRequest(fd, &text, &length);
            if (r == ReadResult::kStopping) break;
            if (r != ReadResult::kRead) {
                if (r == ReadResult::kStalled) LOGW("Socket %d stalled in a message", fd);
                if (r == ReadResult::kOverLimit)
                    LOGE("Message of %u bytes over the limit on socket %d", length, fd);
                if (r == ReadResult::kAllocFail) LOGE("Memory alloc fail");
                if (r == ReadResult::kClosed || r == ReadResult::kStalled)
                    LOGI("Connection closed for socket %d", fd);
                closeList.push_back(fd);
                continue;
            }
            LOGD("command server recv: %s", text.c_str());
            RequestCommand request;
            if (!request.parse(text)) {
                LOGE("Connection error! socket %d", fd);
                closeList.push_back(fd);
                continue;
            }
            if (!processRequest(&*it, &request)) closeList.push_back(fd);
            break;  // at most one request per round
        }
        for (const int fd : closeList) LOGW("close socket %d", fd);
        closeClients(closeList);
    }
}

void CommandServer::closeIdleClients() {
    // One phone is served at a time, so a client that never starts a session would hold the
    // port for good. A client in a session is left to the keep-alive.
    const platform::Clock::time_point now = platform::Clock::now();
    std::vector<int> idle;
    for (const ClientRecord& c : clients_) {
        if (c.sessionStarted || now < c.startBy) continue;
        LOGW("Socket %d started no session in time", c.socket);
        LOGW("close socket %d", c.socket);
        idle.push_back(c.socket);
    }
    if (!idle.empty()) closeClients(idle);
}

CommandServer::ReadResult CommandServer::readRequest(int fd, std::string* text, uint32_t* length) {
    const platform::Deadline deadline = messageDeadline();
    uint8_t head[4];
    size_t n = sizeof head;
    bool ok = platform::recvExact(fd, head, &n, runningFlag(), deadline);
    if (ok && !running_) return ReadResult::kStopping;
    if (!ok) return ReadResult::kClosed;
    if (n != sizeof head) return ReadResult::kStalled;
    *length = platform::loadBe32(head);
    if (*length > kMaxControlTextBytes) return ReadResult::kOverLimit;
    text->clear();
    if (*length == 0) return ReadResult::kRead;
    PoolNode node(pool_ ? pool_->require(*length) : nullptr);
    if (!node) return ReadResult::kAllocFail;
    n = *length;
    ok = platform::recvExact(fd, node.data(), &n, runningFlag(), deadline);
    if (ok && !running_) return ReadResult::kStopping;
    if (!ok) return ReadResult::kClosed;
    if (n != *length) return ReadResult::kStalled;
    text->assign(reinterpret_cast<const char*>(node.data()), *length);
    return ReadResult::kRead;
}

void CommandServer::closeClients(const std::vector<int>& sockets) {
    for (const int fd : sockets) {
        auto it = std::find_if(clients_.begin(), clients_.end(),
                               [&](const ClientRecord& c) { return c.socket == fd; });
        if (it == clients_.end()) continue;
        if (it->sessionActive) {
            mediaServer_.reset();
            it->sessionActive = false;
            if (observer_) observer_->onDisconnected(it->serial.c_str());
        }
        socket_close_tcp_alive(fd);
        platform::closeSocket(fd);
        clients_.erase(it);
    }
}

std::string CommandServer::sendReply(int fd, ResponseCommand& reply) {
    std::string text;
    reply.serialize(text);
    if (text.empty()) return text;
    const std::vector<uint8_t> frame = frameControlText(text);
    platform::sendAll(fd, frame.data(), frame.size(), runningFlag(), messageDeadline());
    return text;
}

bool CommandServer::startMediaServer(bool push, const std::string& key, const std::string& serial,
                                     uint16_t* mediaPort) {
    for (int i = 1; i <= 999 && running_; ++i) {
        const uint16_t candidate = static_cast<uint16_t>(port() + i);
        if (candidate == 0) continue;  // wrapped around; port 0 would mean "any port"
        mediaServer_.reset();
        if (push) {
            mediaServer_ = std::make_unique<StreamingMediaServer>(key, serial, observer_);
        } else {
            mediaServer_ = std::make_unique<PlayServer>(key);
        }
        if (mediaServer_->start(candidate)) {
            *mediaPort = candidate;
            return true;
        }
    }
    mediaServer_.reset();
    return false;
}

void CommandServer::endSession(ClientRecord* client) {
    mediaServer_.reset();
    client->sessionActive = false;
    if (observer_) observer_->onDisconnected(client->serial.c_str());
}

bool CommandServer::processRequest(ClientRecord* client, RequestCommand* request) {
    if (!request || !client || client->socket == platform::kInvalidSocket) return false;
    const int type = request->type();
    if (type == kRequestPush || type == kRequestPlay) {
        const bool push = type == kRequestPush;
        const std::string key = QUuid::createUuid().toString().toUtf8().toStdString();
        SessionRequest fields;
        std::string error;
        if (!readSessionRequest(*request, &fields, &error)) {
            LOGE("Parse [%s] data error [%s]", push ? "Push" : "Play", error.c_str());
            return false;
        }
        qDebug() << "data:" << QString::fromStdString(request->data().toStyledString());
        if (push) {
            LOGI("Start push server...");
        } else {
            LOGI("Start play server...");
        }
        // A new session replaces a running one, which ends here so that every start is paired
        // with exactly one end.
        if (client->sessionActive) endSession(client);
        uint16_t mediaPort = 0;
        if (!startMediaServer(push, key, fields.serial, &mediaPort)) {
            LOGI("Start fail");
            return false;
        }
        LOGI("Start success");
        ResponseCommand reply;
        reply.setType(0);
        reply.set("port", mediaPort);
        reply.set("key", key);
        reply.set("bite_rate", 4);
        std::string text;
        reply.serialize(text);
        qDebug() << "json:" << QString::fromStdString(text);
        client->sessionActive = true;
        client->sessionStarted = true;
        client->serial = fields.serial;
        client->name = fields.name;
        // The connection object must exist before the phone learns the media port: a fast phone
        // sends its parameter sets right away, and packets for an unknown serial are dropped.
        if (push && observer_) observer_->onConnected(fields.serial.c_str(), fields.name.c_str());
        text = sendReply(client->socket, reply);
        if (!text.empty()) LOGD("command server send: %s", text.c_str());
        return true;
    }

    ResponseCommand reply;
    switch (type) {
        case kRequestEndSession:
            reply.setType(0);
            break;
        case kRequestScreenshot:
            reply.setType(0);
            break;
        case kRequestRecording: {
            int t = 0;
            std::string error;
            if (!readRecordingType(*request, &t, &error)) {
                LOGE("Parse [%s] data error [%s]", "Record", error.c_str());
                return false;
            }
            bool state;
            if (t < 2) {
                state = (t == 1);
                if (state && recordStart_ && !recordStart_()) {
                    LOGI("Record start refused: nothing to record");
                    state = false;
                } else if (observer_) {
                    observer_->onRecordFrame(state);
                }
            } else {
                state = recordingState_ ? recordingState_() : false;
            }
            reply.setType(0);
            reply.set("state", state);
            break;
        }
        case kRequestHeartbeat:
            reply.setType(-1);
            break;
        default:  // no action, or a type this program does not know
            return true;
    }
    const std::string text = sendReply(client->socket, reply);
    if (!text.empty()) LOGD("command server send: %s", text.c_str());
    if (type == kRequestEndSession) {
        qDebug() << "------------------------shutDown!--------------------------";
        endSession(client);
        return false;
    }
    if (type == kRequestScreenshot && observer_) observer_->onShotScreen();
    return true;
}

}  // namespace mirror
