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
    PacketEnd readNewcomerPacket(int fd, platform::Deadline deadline, bool* isKey,
                                 bool* keyMatches) override;

private:
    class SocketSource;

    // Reads one packet from fd with the shared media reader; the payload stays in *payload.
    PacketEnd readPacket(int fd, platform::Deadline deadline, MediaPacket* packet,
                         PoolNode* payload);
    bool isSessionKey(const MediaPacket& p) const;
    void dispatch(const MediaPacket& p);

    std::string sessionKey_;
    std::string serial_;
    MirrorObserver* observer_;
    MemPoolPtr pool_;
};

}  // namespace mirror
