// Receives one Push session's media connection: checks the session key, then hands each video
// and audio payload to the observer.
// Thread rules: construction, start, stop and destruction on the command server's thread; the
// loop and the observer calls (onVideoData, audio_process) on this server's thread.
#pragma once

#include <string>

#include "mirror/mediachannelserver.h"
#include "mirror/mediapacket.h"
#include "mirror/mirrorobserver.h"
#include "mirror/poolnode.h"

namespace mirror {

class StreamingMediaServer : public MediaChannelServer {
public:
    StreamingMediaServer(std::string sessionKey, std::string serial, MirrorObserver* observer);
    ~StreamingMediaServer() override;

protected:
    void serveClient(int* drop) override;

private:
    struct Packet {
        platform::Deadline deadline;
        MediaHeader header;
        MediaExtension extension;
        uint32_t length = 0;
        PoolNode payload;
    };

    // Header, extension and payload length.
    PacketEnd readHead(Packet* p);
    PacketEnd readPayload(Packet* p);
    void dispatch(const Packet& p);

    std::string sessionKey_;
    std::string serial_;
    MirrorObserver* observer_;
    MemPoolPtr pool_;
};

}  // namespace mirror
