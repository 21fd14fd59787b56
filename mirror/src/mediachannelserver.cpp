#include "mirror/mediachannelserver.h"

#include "kivobridge/log.h"

namespace mirror {
namespace {}  // namespace

void MediaChannelServer::run() {
    while (running_) {
        const bool mayAccept = acceptAllowed();
        platform::PollEntry set[2];
        size_t count = 0;
        if (mayAccept) set[count++] = {listenSocket(), true, false, false, false};
        const size_t clientAt = count;
        if (client_ != platform::kInvalidSocket && client_ != listenSocket())
            set[count++] = {client_, true, wantsWrite(), false, false};
        const int rc = platform::pollSockets(set, count, 5000);
        if (rc == 0) continue;
        if (rc < 0) {
            LOGE("Error in select");
            return;
        }
        int drop = platform::kInvalidSocket;
        const bool haveClient = clientAt < count;
        if (haveClient && set[clientAt].readable) serveClient(&drop);
        if (haveClient && set[clientAt].writable && client_ == set[clientAt].fd) clientWritable();
        if (mayAccept && set[0].readable) acceptWaiting(&drop);
        if (drop != platform::kInvalidSocket) {
            // The session's state goes first: once the peer sees the close, nothing queued for
            // it may still be accepted.
            authenticated_ = false;
            clientDropped();
            platform::closeSocket(drop);
        }
    }
}

MediaChannelServer::PacketEnd MediaChannelServer::readField(void* buf, size_t len,
                                                            platform::Deadline deadline,
                                                            PacketEnd onShort) {
    size_t n = len;
    if (!platform::recvExact(client_, buf, &n, runningFlag(), deadline)) return PacketEnd::kClosed;
    if (n == len) return PacketEnd::kDone;
    if (!running_) return PacketEnd::kStopping;
    return platform::Clock::now() >= deadline ? PacketEnd::kStalled : onShort;
}

void MediaChannelServer::endPacket(PacketEnd e, int fd, uint32_t extensionLength,
                                   uint32_t payloadLength, int* drop) {
    switch (e) {
        case PacketEnd::kDone:
        case PacketEnd::kStopping:
            return;
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
    *drop = client_;
    client_ = platform::kInvalidSocket;
}

void MediaChannelServer::acceptWaiting(int* drop) {
    int fd = platform::kInvalidSocket;
    if (acceptClient(&fd) == 1) {
        if (client_ != platform::kInvalidSocket) *drop = client_;
        client_ = fd;
    }
}

}  // namespace mirror
