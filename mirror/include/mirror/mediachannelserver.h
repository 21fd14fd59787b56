// Base of the session servers that serve one phone connection at a time (Play and Push media):
// the loop that accepts a client (pausing briefly after a failed accept), reads its packets
// under a deadline, logs why a packet ended and drops the client when it must go.
// Thread rules: the loop and every hook run on the server thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mirror/server.h"

namespace mirror {

class MediaChannelServer : public Server {
protected:
    // How reading a packet ended; every value but kDone and kStopping drops the client.
    enum class PacketEnd {
        kDone,
        kStopping,
        kClosed,
        kErrorE,
        kErrorI,
        kStalled,
        kExtensionOver,
        kPayloadOver,
        kAllocFail
    };

    void run() final;

    // Reads and handles one packet from client_, ending with endPacket.
    virtual void serveClient(int* drop) = 0;
    // Whether client_ should also be watched for writability.
    virtual bool wantsWrite() const { return false; }
    // client_ can take more bytes.
    virtual void clientWritable() {}
    // A client was closed by the loop.
    virtual void clientDropped() {}

    // Reads exactly len bytes from client_; onShort is the result of a short read that is
    // neither a stop nor a passed deadline.
    PacketEnd readField(void* buf, size_t len, platform::Deadline deadline, PacketEnd onShort);
    // Logs how the packet on fd ended; when it drops the client, *drop takes the client and
    // client_ is cleared. The lengths only feed the over-the-limit lines.
    void endPacket(PacketEnd e, int fd, uint32_t extensionLength, uint32_t payloadLength,
                   int* drop);

    int client_ = platform::kInvalidSocket;
    bool authenticated_ = false;

private:
    // A new client replaces the current one, which goes to *drop.
    void acceptWaiting(int* drop);
};

}  // namespace mirror
