// The PC end of a Play session: accepts the phone's play connection, checks the session key and
// then sends it whatever is queued for it, packet by packet.
// Thread rules: construction, start, stop and destruction on the command server's thread; the
// loop on this server's thread; queueOutgoing from any thread.
#pragma once

#include <mutex>
#include <string>

#include "mirror/mediachannelserver.h"
#include "mirror/poolnode.h"

namespace mirror {

class PlayServer : public MediaChannelServer {
public:
    explicit PlayServer(std::string sessionKey);
    ~PlayServer() override;

    // Queues bytes for the phone; false when no authenticated client is connected or the
    // queue is full. Never blocks.
    bool queueOutgoing(const uint8_t* data, size_t length);

protected:
    void serveClient(int* drop) override;
    bool wantsWrite() const override;
    void clientWritable() override;
    void clientDropped() override;
    PacketEnd readNewcomerPacket(int fd, platform::Deadline deadline, bool* isKey,
                                 bool* keyMatches) override;
    void clientAuthenticated() override;

private:
    PacketEnd readPacket(int fd, platform::Deadline deadline, uint32_t* type, uint32_t* length,
                         PoolNode* payload);
    bool isKey(uint32_t type, const PoolNode& payload, uint32_t length) const;
    void sendQueued();
    void dropOutgoingPool();

    std::string sessionKey_;
    MemPoolPtr pool_;
    // Created and destroyed on the server thread under outgoingLock_; read there without it.
    PacketPoolPtr outgoing_;
    std::mutex outgoingLock_;
};

}  // namespace mirror
