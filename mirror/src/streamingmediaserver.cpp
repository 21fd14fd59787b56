#include "mirror/streamingmediaserver.h"

#include <cstring>

#include "kivobridge/log.h"

namespace mirror {

StreamingMediaServer::StreamingMediaServer(std::string sessionKey, std::string serial,
                                           MirrorObserver* observer)
    : sessionKey_(std::move(sessionKey)),
      serial_(std::move(serial)),
      observer_(observer),
      pool_(pp::create_mempool(nullptr, nullptr)) {}

StreamingMediaServer::~StreamingMediaServer() {
    stop();
    if (client_ != platform::kInvalidSocket) {
        socket_close_tcp_alive(client_);
        platform::closeSocket(client_);
    }
}

// The connection as the media reader sees it: each field read under the packet's deadline, the
// payload in a node of the server's pool.
class StreamingMediaServer::SocketSource : public MediaSource {
public:
    SocketSource(StreamingMediaServer* server, int fd, platform::Deadline deadline,
                 PoolNode* payload)
        : server_(server), fd_(fd), deadline_(deadline), payload_(payload) {}

    bool read(void* buf, size_t len, MediaField field) override {
        end = server_->readFieldFrom(
            fd_, buf, len, deadline_,
            field == MediaField::kHeader ? PacketEnd::kErrorE : PacketEnd::kErrorI);
        return end == PacketEnd::kDone;
    }
    uint8_t* payloadBuffer(uint32_t len) override {
        *payload_ = PoolNode(server_->pool_ ? server_->pool_->require(len) : nullptr);
        return *payload_ ? payload_->data() : nullptr;
    }

    PacketEnd end = PacketEnd::kDone;

private:
    StreamingMediaServer* server_;
    int fd_;
    platform::Deadline deadline_;
    PoolNode* payload_;
};

StreamingMediaServer::PacketEnd StreamingMediaServer::readPacket(int fd,
                                                                 platform::Deadline deadline,
                                                                 MediaPacket* packet,
                                                                 PoolNode* payload) {
    SocketSource source(this, fd, deadline, payload);
    switch (readMediaPacket(source, packet)) {
        case MediaRead::kDone:
            LOGD("dataLen: %d", static_cast<int>(packet->payloadLength));
            return PacketEnd::kDone;
        case MediaRead::kSourceFailed:
            return source.end;
        case MediaRead::kExtensionOver:
            return PacketEnd::kExtensionOver;
        case MediaRead::kBadExtension:
            return PacketEnd::kErrorE;
        case MediaRead::kPayloadOver:
            return PacketEnd::kPayloadOver;
        case MediaRead::kNoBuffer:
            return PacketEnd::kAllocFail;
    }
    return PacketEnd::kErrorE;
}

void StreamingMediaServer::serveClient(int* drop) {
    const int fd = client_;
    MediaPacket p;
    PoolNode payload;
    const PacketEnd e = readPacket(fd, messageDeadline(), &p, &payload);
    if (e == PacketEnd::kDone) {
        LOGD("type: %d", static_cast<int>(p.header.type));
        dispatch(p);
    }
    endPacket(e, fd, p.header.extensionLength, p.payloadLength, drop);
}

StreamingMediaServer::PacketEnd StreamingMediaServer::readNewcomerPacket(
    int fd, platform::Deadline deadline, bool* isKey, bool* keyMatches) {
    MediaPacket p;
    PoolNode payload;
    const PacketEnd e = readPacket(fd, deadline, &p, &payload);
    logPacketEnd(e, fd, p.header.extensionLength, p.payloadLength);
    *isKey = e == PacketEnd::kDone && p.header.type == kPacketKey;
    *keyMatches = *isKey && isSessionKey(p);
    return e;
}

bool StreamingMediaServer::isSessionKey(const MediaPacket& p) const {
    return p.payloadLength != 0 && p.payloadLength == sessionKey_.size() &&
           std::memcmp(p.payload, sessionKey_.data(), p.payloadLength) == 0;
}

void StreamingMediaServer::dispatch(const MediaPacket& p) {
    const int len = static_cast<int>(p.payloadLength);
    switch (p.header.type) {
        case kPacketKey:
            if (isSessionKey(p)) authenticated_ = true;
            break;
        case kPacketVideo:
            // An empty payload holds no picture, yet would cost a queue entry and a decode.
            if (authenticated_ && observer_ && len > 0)
                observer_->onVideoData(serial_.c_str(), p.payload, len,
                                       p.extension.frameKind == kFrameKindConfig);
            break;
        case kPacketAudio:
            if (authenticated_ && observer_ && isUsableAudioFormat(p.extension))
                observer_->audio_process(serial_.c_str(), p.payload, len,
                                         static_cast<int>(p.extension.sampleRate),
                                         static_cast<int>(p.extension.channels),
                                         static_cast<int>(p.extension.bitsPerSample));
            break;
        default:
            break;
    }
}

}  // namespace mirror
