// Base of the session servers that serve one phone connection at a time (Play and Push media):
// the loop that accepts a client (pausing briefly after a failed accept), reads its packets
// under a deadline, logs why a packet ended and drops the client when it must go.
// A connection that arrives while a client is served is a newcomer: it replaces the client only
// once it has presented the session key, so a stranger cannot cut the phone off. A wrong key, or
// none within the key time-out, drops just the newcomer.
// Thread rules: setKeyTimeout before start; the loop and every hook run on the server thread.
#pragma once

#include <cstddef>
#include <chrono>
#include <cstdint>
#include <vector>

#include "mirror/server.h"

namespace mirror {

class MediaChannelServer : public Server {
public:
    // How long a newcomer may take to present the key; the default is kMessageTimeout.
    void setKeyTimeout(std::chrono::milliseconds timeout) { keyTimeout_ = timeout; }

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
    // Reads one packet from a newcomer (fd) by the deadline, handling nothing but telling
    // whether it was a key packet and whether the key was right.
    virtual PacketEnd readNewcomerPacket(int fd, platform::Deadline deadline, bool* isKey,
                                         bool* keyMatches) = 0;
    // client_ has just been authenticated (it may be a newcomer that replaced the previous one).
    virtual void clientAuthenticated() {}

    // Reads exactly len bytes from fd; onShort is the result of a short read that is neither a
    // stop nor a passed deadline.
    PacketEnd readFieldFrom(int fd, void* buf, size_t len, platform::Deadline deadline,
                            PacketEnd onShort);
    // Logs how the packet on fd ended; when it drops the client, *drop takes the client and
    // client_ is cleared. The lengths only feed the over-the-limit lines.
    void endPacket(PacketEnd e, int fd, uint32_t extensionLength, uint32_t payloadLength,
                   int* drop);
    // The logging part of endPacket; true when the connection has to go.
    static bool logPacketEnd(PacketEnd e, int fd, uint32_t extensionLength, uint32_t payloadLength);

    int client_ = platform::kInvalidSocket;
    bool authenticated_ = false;

private:
    struct Newcomer {
        int fd;
        platform::Clock::time_point keyBy;
    };
    // Connections waiting to show the key; more than this and the oldest goes.
    static constexpr size_t kMaxNewcomers = 8;

    void serve();
    // A connection becomes the client when there is none, a newcomer otherwise.
    void acceptWaiting();
    // Reads one packet of newcomer i; true when it has to go (or has replaced the client).
    bool serveNewcomer(size_t i, int* drop);
    void dropNewcomers(bool expiredOnly);
    void dropClient(int fd);

    std::vector<Newcomer> newcomers_;
    std::chrono::milliseconds keyTimeout_{kMessageTimeout};
};

}  // namespace mirror
