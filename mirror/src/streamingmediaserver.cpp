#include "mirror/streamingmediaserver.h"

#include <cstring>

#include "kivobridge/log.h"

namespace mirror {
namespace {

using platform::Clock;
constexpr std::chrono::milliseconds kAcceptBackoff{100};

}  // namespace

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

void StreamingMediaServer::run() {
    while (running_) {
        const bool mayAccept = platform::Clock::now() >= acceptPausedUntil_;
        platform::PollEntry set[2];
        size_t count = 0;
        if (mayAccept) set[count++] = {listenSocket(), true, false, false, false};
        const size_t clientAt = count;
        if (client_ != platform::kInvalidSocket && client_ != listenSocket())
            set[count++] = {client_, true, false, false, false};
        const int rc = platform::pollSockets(set, count, 5000);
        if (rc == 0) continue;
        if (rc < 0) {
            LOGE("Error in select");
            return;
        }
        int drop = platform::kInvalidSocket;
        if (clientAt < count && set[clientAt].readable) {
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
                case PacketEnd::kExtensionOver:
                    LOGE("Extension of %u bytes over the limit on socket %d",
                         p.header.extensionLength, fd);
                    break;
                case PacketEnd::kPayloadOver:
                    LOGE("Payload of %u bytes over the limit on socket %d", p.length, fd);
                    break;
                case PacketEnd::kAllocFail:
                    LOGE("Memory alloc fail");
                    break;
            }
            if (e != PacketEnd::kDone && e != PacketEnd::kStopping) {
                drop = client_;
                client_ = platform::kInvalidSocket;
            }
        }
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
        }
    }
}

StreamingMediaServer::PacketEnd StreamingMediaServer::readField(void* buf, size_t len,
                                                                platform::Deadline deadline,
                                                                PacketEnd onShort) {
    size_t n = len;
    if (!platform::recvExact(client_, buf, &n, runningFlag(), deadline)) return PacketEnd::kClosed;
    if (n == len) return PacketEnd::kDone;
    if (!running_) return PacketEnd::kStopping;
    return Clock::now() >= deadline ? PacketEnd::kStalled : onShort;
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
            if (authenticated_ && observer_)
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
