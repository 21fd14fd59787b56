// The PC end of a Play session: accepts the phone's play connection, checks the session key and
// then sends it whatever is queued for it, packet by packet.
// Thread rules: construction, start, stop and destruction on the command server's thread; the
// loop on this server's thread; queueOutgoing from any thread.
#pragma once

#include <mutex>
#include <string>

#include "mirror/poolnode.h"
#include "mirror/server.h"

namespace mirror {

class PlayServer : public Server {
public:
    explicit PlayServer(std::string sessionKey);
    ~PlayServer() override;

    // Queues bytes for the phone; false when no authenticated client is connected or the
    // queue is full. Never blocks.
    bool queueOutgoing(const uint8_t* data, size_t length);

protected:
    void run() override;

private:
    // How reading a packet ended; every value but kDone and kStopping drops the client.
    enum class PacketEnd {
        kDone,
        kStopping,
        kClosed,
        kErrorE,
        kErrorI,
        kStalled,
        kPayloadOver,
        kAllocFail
    };
    PacketEnd readField(void* buf, size_t len, platform::Deadline deadline, PacketEnd onShort);
    PacketEnd readPacket(uint32_t* type, uint32_t* length, PoolNode* payload);
    bool isKey(uint32_t type, const PoolNode& payload, uint32_t length) const;
    void sendQueued();
    void dropOutgoingPool();

    std::string sessionKey_;
    int client_ = platform::kInvalidSocket;
    bool authenticated_ = false;
    MemPoolPtr pool_;
    // Created and destroyed on the server thread under outgoingLock_; read there without it.
    PacketPoolPtr outgoing_;
    std::mutex outgoingLock_;
    platform::Clock::time_point acceptPausedUntil_{};
};

}  // namespace mirror
