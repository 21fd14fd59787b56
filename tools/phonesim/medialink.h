// The phone's end of a media (Push) or play (Play) connection: the session key packet first,
// then video and audio packets, or deliberately broken bytes.
// Thread rules: one thread at a time (the session's media thread).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "socket.h"

namespace phonesim {

class MediaLink {
public:
    bool open(const std::string& host, int port, std::string* error);
    void close() { conn_.close(); }
    // Half-closes and waits until the PC has read everything and closed its side.
    bool finish(int timeoutMs) { return conn_.finish(timeoutMs); }
    bool isOpen() const { return conn_.isOpen(); }

    bool sendKey(const std::string& key);
    // One H.264 unit with a kind 1 extension carrying the frame kind.
    bool sendVideo(const std::vector<uint8_t>& data, uint32_t frameKind);
    // One PCM block with a kind 2 extension carrying its format.
    bool sendAudio(const std::vector<uint8_t>& data, int rate, int channels, int bits);
    // A packet header as given, followed by `payload` (which may be shorter than announced).
    bool sendPacket(uint32_t type, const std::vector<uint32_t>& extension, uint32_t announced,
                    const std::vector<uint8_t>& payload);
    bool sendRaw(const std::vector<uint8_t>& bytes);

    // True when the PC has closed or reset the connection.
    bool peerClosed() { return conn_.peerClosed(); }
    // Reads what the PC sends (play channel): >0 bytes, 0 time-out, -1 closed.
    long receive(void* data, size_t size, int timeoutMs) {
        return conn_.receiveSome(data, size, timeoutMs);
    }
    const std::string& lastError() const { return conn_.lastError(); }
    uint64_t bytesSent() const { return bytesSent_; }

private:
    TcpConnection conn_;
    uint64_t bytesSent_ = 0;
};

}  // namespace phonesim
