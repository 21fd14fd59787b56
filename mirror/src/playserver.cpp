#include "mirror/playserver.h"

#include <cstring>

#include "kivobridge/log.h"
#include "mirror/mediapacket.h"

namespace mirror {
namespace {

constexpr std::chrono::milliseconds kAcceptBackoff{100};

}  // namespace

PlayServer::PlayServer(std::string sessionKey)
    : sessionKey_(std::move(sessionKey)), pool_(pp::create_mempool(nullptr, nullptr)) {}

PlayServer::~PlayServer() {
    {
        std::lock_guard<std::mutex> lock(outgoingLock_);
        if (outgoing_) outgoing_->stop();
    }
    stop();
    if (client_ != platform::kInvalidSocket) platform::closeSocket(client_);
    dropOutgoingPool();
}

bool PlayServer::queueOutgoing(const uint8_t* data, size_t length) {
    std::lock_guard<std::mutex> lock(outgoingLock_);
    if (!outgoing_ || length == 0) return false;
    PoolNode node(outgoing_->require(length));
    if (!node) return false;
    std::memcpy(node.data(), data, length);
    if (outgoing_->put(node.get(), 0) != 0) return false;
    node.detach();
    return true;
}

void PlayServer::dropOutgoingPool() {
    std::lock_guard<std::mutex> lock(outgoingLock_);
    outgoing_.reset();
}

void PlayServer::run() {
    while (running_) {
        const bool mayAccept = platform::Clock::now() >= acceptPausedUntil_;
        platform::PollEntry set[2];
        size_t count = 0;
        if (mayAccept) set[count++] = {listenSocket(), true, false, false, false};
        const size_t clientAt = count;
        if (client_ != platform::kInvalidSocket && client_ != listenSocket()) {
            // Asking for writability only when there is something to write keeps an idle
            // connection from waking the loop continuously.
            const bool pending = outgoing_ && outgoing_->queued() > 0;
            set[count++] = {client_, true, pending, false, false};
        }
        const int rc = platform::pollSockets(set, count, 5000);
        if (rc == 0) continue;
        if (rc < 0) {
            LOGE("Error in select");
            return;
        }
        int drop = platform::kInvalidSocket;
        const bool haveClient = clientAt < count;
        if (haveClient && set[clientAt].readable) {
            const int fd = client_;
            uint32_t type = 0;
            uint32_t length = 0;
            PoolNode payload;
            const PacketEnd e = readPacket(&type, &length, &payload);
            switch (e) {
                case PacketEnd::kDone:
                case PacketEnd::kStopping:
                    break;
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
                case PacketEnd::kPayloadOver:
                    LOGE("Payload of %u bytes over the limit on socket %d", length, fd);
                    break;
                case PacketEnd::kAllocFail:
                    LOGE("Memory alloc fail");
                    break;
            }
            if (e == PacketEnd::kDone && isKey(type, payload, length)) {
                authenticated_ = true;
                LOGI("key 校验通过,启动音视频采集");
                if (!outgoing_) {
                    std::lock_guard<std::mutex> lock(outgoingLock_);
                    outgoing_.reset(pp::create_pktpool(nullptr, nullptr));
                }
            } else if (e != PacketEnd::kDone && e != PacketEnd::kStopping) {
                drop = client_;
                client_ = platform::kInvalidSocket;
            }
        }
        if (haveClient && set[clientAt].writable && client_ == set[clientAt].fd && outgoing_)
            sendQueued();
        if (mayAccept && set[0].readable) {
            int fd = platform::kInvalidSocket;
            const int r = acceptClient(&fd);
            if (r < 0) {
                const int error = platform::lastError();
                LOGW("Accept failed (error %d); still listening", error);
                acceptPausedUntil_ = platform::Clock::now() + kAcceptBackoff;
            } else if (r == 1) {
                if (client_ != platform::kInvalidSocket) drop = client_;
                client_ = fd;
            }
        }
        if (drop != platform::kInvalidSocket) {
            platform::closeSocket(drop);
            authenticated_ = false;
            dropOutgoingPool();
        }
    }
}

bool PlayServer::isKey(uint32_t type, const PoolNode& payload, uint32_t length) const {
    return type == kPacketKey && length != 0 && length == sessionKey_.size() &&
           std::memcmp(payload.data(), sessionKey_.data(), length) == 0;
}

void PlayServer::sendQueued() {
    for (;;) {
        pp::FLMemNode* raw = nullptr;
        if (outgoing_->take(&raw, 5) != 0 || !raw) return;
        PoolNode node(raw);
        // A failed send is not fatal here: a broken connection shows up on the next read.
        platform::sendAll(client_, node.data(), node.get()->size, runningFlag(), messageDeadline());
    }
}

PlayServer::PacketEnd PlayServer::readField(void* buf, size_t len, platform::Deadline deadline,
                                            PacketEnd onShort) {
    size_t n = len;
    if (!platform::recvExact(client_, buf, &n, runningFlag(), deadline)) return PacketEnd::kClosed;
    if (n == len) return PacketEnd::kDone;
    if (!running_) return PacketEnd::kStopping;
    return platform::Clock::now() >= deadline ? PacketEnd::kStalled : onShort;
}

PlayServer::PacketEnd PlayServer::readPacket(uint32_t* type, uint32_t* length, PoolNode* payload) {
    const platform::Deadline deadline = messageDeadline();
    uint8_t head[8];
    PacketEnd e = readField(head, sizeof head, deadline, PacketEnd::kErrorE);
    if (e != PacketEnd::kDone) return e;
    *type = platform::loadBe32(head);
    uint8_t len[4];
    e = readField(len, sizeof len, deadline, PacketEnd::kErrorE);
    if (e != PacketEnd::kDone) return e;
    if (parsePayloadLength(len, length) != WireResult::kOk) return PacketEnd::kPayloadOver;
    if (*length == 0) return PacketEnd::kDone;
    *payload = PoolNode(pool_ ? pool_->require(*length) : nullptr);
    if (!*payload) return PacketEnd::kAllocFail;
    return readField(payload->data(), *length, deadline, PacketEnd::kErrorI);
}

}  // namespace mirror
