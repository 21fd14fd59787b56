// Receives one Push session's media connection: checks the session key, then hands each video
// and audio payload to the observer.
// Thread rules: construction, start, stop and destruction on the command server's thread; the
// loop and the observer calls (onVideoData, audio_process) on this server's thread.
#pragma once

#include <string>

#include "mirror/mediapacket.h"
#include "mirror/mirrorobserver.h"
#include "mirror/poolnode.h"
#include "mirror/server.h"

namespace mirror {

class StreamingMediaServer : public Server {
public:
    StreamingMediaServer(std::string sessionKey, std::string serial, MirrorObserver* observer);
    ~StreamingMediaServer() override;

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
        kExtensionOver,
        kPayloadOver,
        kAllocFail
    };
    struct Packet {
        platform::Deadline deadline;
        MediaHeader header;
        MediaExtension extension;
        uint32_t length = 0;
        PoolNode payload;
    };

    PacketEnd readField(void* buf, size_t len, platform::Deadline deadline, PacketEnd onShort);
    // Header, extension and payload length.
    PacketEnd readHead(Packet* p);
    PacketEnd readPayload(Packet* p);
    void dispatch(const Packet& p);

    std::string sessionKey_;
    std::string serial_;
    MirrorObserver* observer_;
    MemPoolPtr pool_;
    int client_ = platform::kInvalidSocket;
    bool authenticated_ = false;
    platform::Clock::time_point acceptPausedUntil_{};
};

}  // namespace mirror
