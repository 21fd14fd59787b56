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

void StreamingMediaServer::serveClient(int* drop) {
    const int fd = client_;
    Packet p;
    PacketEnd e = readHead(&p);
    if (e == PacketEnd::kDone) {
        LOGD("dataLen: %d", static_cast<int>(p.length));
        e = readPayload(&p);
    }
    if (e == PacketEnd::kDone) {
        LOGD("type: %d", static_cast<int>(p.header.type));
        dispatch(p);
    }
    endPacket(e, fd, p.header.extensionLength, p.length, drop);
}

StreamingMediaServer::PacketEnd StreamingMediaServer::readHead(Packet* p) {
    p->deadline = messageDeadline();
    uint8_t head[8];
    PacketEnd e = readField(head, sizeof head, p->deadline, PacketEnd::kErrorE);
    if (e != PacketEnd::kDone) return e;
    if (parseMediaHeader(head, &p->header) != WireResult::kOk) return PacketEnd::kExtensionOver;
    if (p->header.extensionLength != 0) {
        uint8_t ext[kMaxExtensionBytes];
        e = readField(ext, p->header.extensionLength, p->deadline, PacketEnd::kErrorI);
        if (e != PacketEnd::kDone) return e;
        if (parseMediaExtension(ext, p->header.extensionLength, &p->extension) != WireResult::kOk)
            return PacketEnd::kErrorE;
    }
    uint8_t len[4];
    e = readField(len, sizeof len, p->deadline, PacketEnd::kErrorI);
    if (e != PacketEnd::kDone) return e;
    if (parsePayloadLength(len, &p->length) != WireResult::kOk) return PacketEnd::kPayloadOver;
    return PacketEnd::kDone;
}

StreamingMediaServer::PacketEnd StreamingMediaServer::readPayload(Packet* p) {
    if (p->length == 0) return PacketEnd::kDone;
    p->payload = PoolNode(pool_ ? pool_->require(p->length) : nullptr);
    if (!p->payload) return PacketEnd::kAllocFail;
    return readField(p->payload.data(), p->length, p->deadline, PacketEnd::kErrorI);
}

void StreamingMediaServer::dispatch(const Packet& p) {
    const int len = static_cast<int>(p.length);
    switch (p.header.type) {
        case kPacketKey:
            if (p.length != 0 && p.length == sessionKey_.size() &&
                std::memcmp(p.payload.data(), sessionKey_.data(), p.length) == 0)
                authenticated_ = true;
            break;
        case kPacketVideo:
            // An empty payload holds no picture, yet would cost a queue entry and a decode.
            if (authenticated_ && observer_ && p.length > 0)
                observer_->onVideoData(serial_.c_str(), p.payload.data(), len,
                                       p.extension.frameKind == kFrameKindConfig);
            break;
        case kPacketAudio:
            if (authenticated_ && observer_ && isUsableAudioFormat(p.extension))
                observer_->audio_process(serial_.c_str(), p.payload.data(), len,
                                         static_cast<int>(p.extension.sampleRate),
                                         static_cast<int>(p.extension.channels),
                                         static_cast<int>(p.extension.bitsPerSample));
            break;
        default:
            break;
    }
}

}  // namespace mirror
