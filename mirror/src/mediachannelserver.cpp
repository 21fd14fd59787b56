#include "mirror/mediachannelserver.h"

#include <algorithm>

#include "kivobridge/log.h"

namespace mirror {
namespace {

// Longest a newcomer's packet may keep the loop (and so the phone's stream) waiting: a key
// packet is a few dozen bytes.
constexpr std::chrono::seconds kNewcomerPacketTime{1};

}  // namespace

void MediaChannelServer::run() {
    serve();
    dropNewcomers(false);
}

void MediaChannelServer::serve() {
    while (running_) {
        dropNewcomers(true);
        const bool mayAccept = acceptAllowed();
        platform::PollEntry set[2 + kMaxNewcomers];
        size_t count = 0;
        if (mayAccept) set[count++] = {listenSocket(), true, false, false, false};
        const size_t clientAt = count;
        if (client_ != platform::kInvalidSocket && client_ != listenSocket())
            set[count++] = {client_, true, wantsWrite(), false, false};
        const bool haveClient = clientAt < count;
        const size_t newcomersAt = count;
        for (const Newcomer& n : newcomers_) set[count++] = {n.fd, true, false, false, false};
        const int rc = platform::pollSockets(set, count, 5000);
        if (rc == 0) continue;
        if (rc < 0) {
            LOGE("Error in select");
            return;
        }
        int drop = platform::kInvalidSocket;
        if (haveClient && set[clientAt].readable) serveClient(&drop);
        if (haveClient && set[clientAt].writable && client_ == set[clientAt].fd) clientWritable();
        // Before the newcomers: one of them may become the client in this round.
        if (drop != platform::kInvalidSocket) dropClient(drop);
        for (size_t k = newcomersAt; k < count && running_; ++k) {
            if (!set[k].readable) continue;
            auto it = std::find_if(newcomers_.begin(), newcomers_.end(),
                                   [&](const Newcomer& n) { return n.fd == set[k].fd; });
            if (it == newcomers_.end()) continue;
            int gone = platform::kInvalidSocket;
            if (serveNewcomer(size_t(it - newcomers_.begin()), &gone)) {
                newcomers_.erase(it);
                if (gone != platform::kInvalidSocket) platform::closeSocket(gone);
            }
        }
        if (mayAccept && set[0].readable) acceptWaiting();
    }
}

void MediaChannelServer::dropClient(int fd) {
    // The session's state goes first: once the peer sees the close, nothing queued for it may
    // still be accepted.
    authenticated_ = false;
    clientDropped();
    platform::closeSocket(fd);
}

bool MediaChannelServer::serveNewcomer(size_t i, int* gone) {
    const Newcomer n = newcomers_[i];
    const platform::Deadline deadline =
        std::min<platform::Deadline>(n.keyBy, platform::Clock::now() + kNewcomerPacketTime);
    bool isKey = false;
    bool keyMatches = false;
    const PacketEnd e = readNewcomerPacket(n.fd, deadline, &isKey, &keyMatches);
    if (e == PacketEnd::kStopping) return false;
    if (e != PacketEnd::kDone) {
        *gone = n.fd;
        return true;
    }
    if (!isKey) return false;  // read and discarded, as before the key on any connection
    if (!keyMatches) {
        LOGW("Wrong session key on socket %d", n.fd);
        *gone = n.fd;
        return true;
    }
    LOGI("Socket %d presented the key and replaces socket %d", n.fd, client_);
    if (client_ != platform::kInvalidSocket) dropClient(client_);
    client_ = n.fd;
    authenticated_ = true;
    clientAuthenticated();
    return true;
}

void MediaChannelServer::dropNewcomers(bool expiredOnly) {
    const platform::Clock::time_point now = platform::Clock::now();
    for (auto it = newcomers_.begin(); it != newcomers_.end();) {
        if (expiredOnly && now < it->keyBy) {
            ++it;
            continue;
        }
        if (expiredOnly) LOGW("Socket %d sent no session key in time", it->fd);
        platform::closeSocket(it->fd);
        it = newcomers_.erase(it);
    }
}

MediaChannelServer::PacketEnd MediaChannelServer::readFieldFrom(int fd, void* buf, size_t len,
                                                                platform::Deadline deadline,
                                                                PacketEnd onShort) {
    size_t n = len;
    if (!platform::recvExact(fd, buf, &n, runningFlag(), deadline)) return PacketEnd::kClosed;
    if (n == len) return PacketEnd::kDone;
    if (!running_) return PacketEnd::kStopping;
    return platform::Clock::now() >= deadline ? PacketEnd::kStalled : onShort;
}

bool MediaChannelServer::logPacketEnd(PacketEnd e, int fd, uint32_t extensionLength,
                                      uint32_t payloadLength) {
    switch (e) {
        case PacketEnd::kDone:
        case PacketEnd::kStopping:
            return false;
        case PacketEnd::kClosed:
            LOGI("Connection closed for socket %d", fd);
            break;
        case PacketEnd::kErrorE:
            LOGE("Connection error for socket %d", fd);
            break;
        case PacketEnd::kErrorI:
            LOGI("Connection error for socket %d", fd);
            break;
        case PacketEnd::kStalled:
            LOGW("Socket %d stalled in a message", fd);
            break;
        case PacketEnd::kExtensionOver:
            LOGE("Extension of %u bytes over the limit on socket %d", extensionLength, fd);
            break;
        case PacketEnd::kPayloadOver:
            LOGE("Payload of %u bytes over the limit on socket %d", payloadLength, fd);
            break;
        case PacketEnd::kAllocFail:
            LOGE("Memory alloc fail");
            break;
    }
    return true;
}

void MediaChannelServer::endPacket(PacketEnd e, int fd, uint32_t extensionLength,
                                   uint32_t payloadLength, int* drop) {
    if (!logPacketEnd(e, fd, extensionLength, payloadLength)) return;
    *drop = client_;
    client_ = platform::kInvalidSocket;
}

void MediaChannelServer::acceptWaiting() {
    int fd = platform::kInvalidSocket;
    if (acceptClient(&fd) != 1) return;
    if (client_ == platform::kInvalidSocket) {
        client_ = fd;
        return;
    }
    if (newcomers_.size() >= kMaxNewcomers) {
        LOGW("Too many connections without the key; socket %d dropped", newcomers_.front().fd);
        platform::closeSocket(newcomers_.front().fd);
        newcomers_.erase(newcomers_.begin());
    }
    newcomers_.push_back({fd, platform::Clock::now() + keyTimeout_});
}

}  // namespace mirror
