#include "mirror/playserver.h"

#include <cstring>

#include "kivobridge/log.h"
#include "mirror/mediapacket.h"

namespace mirror {

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

bool PlayServer::wantsWrite() const {
    // Asking for writability only when there is something to write keeps an idle
    // connection from waking the loop continuously.
    return outgoing_ && outgoing_->queued() > 0;
}

void PlayServer::serveClient(int* drop) {
    const int fd = client_;
    uint32_t type = 0;
    uint32_t length = 0;
    PoolNode payload;
    const PacketEnd e = readPacket(fd, messageDeadline(), &type, &length, &payload);
    endPacket(e, fd, 0, length, drop);
    if (e == PacketEnd::kDone && isKey(type, payload, length)) {
        authenticated_ = true;
        clientAuthenticated();
    }
}

void PlayServer::clientAuthenticated() {
    LOGI("key 校验通过,启动音视频采集");
    if (!outgoing_) {
        std::lock_guard<std::mutex> lock(outgoingLock_);
        outgoing_.reset(pp::create_pktpool(nullptr, nullptr));
    }
}

PlayServer::PacketEnd PlayServer::readNewcomerPacket(int fd, platform::Deadline deadline,
                                                     bool* isKeyPacket, bool* keyMatches) {
    uint32_t type = 0;
    uint32_t length = 0;
    PoolNode payload;
    const PacketEnd e = readPacket(fd, deadline, &type, &length, &payload);
    logPacketEnd(e, fd, 0, length);
    *isKeyPacket = e == PacketEnd::kDone && type == kPacketKey;
    *keyMatches = *isKeyPacket && isKey(type, payload, length);
    return e;
}

void PlayServer::clientWritable() {
    if (outgoing_) sendQueued();
}

void PlayServer::clientDropped() {
    dropOutgoingPool();
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

PlayServer::PacketEnd PlayServer::readPacket(int fd, platform::Deadline deadline, uint32_t* type,
                                             uint32_t* length, PoolNode* payload) {
    uint8_t head[8];
    PacketEnd e = readFieldFrom(fd, head, sizeof head, deadline, PacketEnd::kErrorE);
    if (e != PacketEnd::kDone) return e;
    *type = platform::loadBe32(head);
    uint8_t len[4];
    e = readFieldFrom(fd, len, sizeof len, deadline, PacketEnd::kErrorE);
    if (e != PacketEnd::kDone) return e;
    if (parsePayloadLength(len, length) != WireResult::kOk) return PacketEnd::kPayloadOver;
    if (*length == 0) return PacketEnd::kDone;
    *payload = PoolNode(pool_ ? pool_->require(*length) : nullptr);
    if (!*payload) return PacketEnd::kAllocFail;
    return readFieldFrom(fd, payload->data(), *length, deadline, PacketEnd::kErrorI);
}

}  // namespace mirror
