// Raw loopback clients, wire builders and a recording observer for the protocol server tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "mirror/mirrorobserver.h"
#include "platform/socket.h"

namespace nettest {

using Bytes = std::vector<uint8_t>;

Bytes be32(uint32_t v);
Bytes operator+(Bytes a, const Bytes& b);
Bytes bytesOf(const std::string& text);
// A length-prefixed control frame.
Bytes controlFrame(const std::string& json);
// A media packet: type, extension words (kind first), payload.
Bytes mediaPacket(uint32_t type, const std::vector<uint32_t>& extension, const Bytes& payload);
Bytes keyPacket(const std::string& key);

// A blocking client socket on 127.0.0.1 with bounded waits.
class NetClient {
public:
    NetClient() = default;
    explicit NetClient(uint16_t port) { connect(port); }
    bool connect(uint16_t port);
    bool valid() const { return sock_.valid(); }
    int fd() const { return sock_.get(); }
    bool send(const Bytes& bytes);
    // Exactly n bytes within the time-out, or fewer when the peer closed or time ran out.
    Bytes read(size_t n, int timeoutMs = 3000);
    // One control frame's text; "" when none arrived in time.
    std::string readControl(int timeoutMs = 3000);
    // True when the peer closes (or resets) within the time-out.
    bool waitClosed(int timeoutMs = 3000);
    // True when nothing at all arrives within the time-out and the connection stays open.
    bool silentFor(int timeoutMs);
    void close() { sock_.reset(); }

private:
    platform::Socket sock_;
};

// Connects and exchanges a heartbeat: proves a command server still serves clients.
bool heartbeatWorks(uint16_t port);

struct VideoCall {
    std::string serial;
    Bytes data;
    bool configuration;
};
struct AudioCall {
    std::string serial;
    Bytes data;
    int sampleRate, channels, bits;
};

// Records every observer call; thread-safe; waitFor polls a predicate under the lock.
class RecordingObserver : public mirror::MirrorObserver {
public:
    void onConnected(const char* serial, const char* name) override;
    void onOutConnected(const char* serial, const char* name) override;
    void onDisconnected(const char* serial) override;
    void onVideoData(const char* serial, const unsigned char* data, int length,
                     bool configuration) override;
    void audio_process(const char* serial, const unsigned char* data, int length, int sampleRate,
                       int channels, int bitsPerSample) override;
    void onShotScreen() override;
    void onRecordFrame(bool start) override;

    bool waitFor(const std::function<bool()>& done, int timeoutMs = 3000);
    template <typename F>
    auto locked(F f) {
        std::lock_guard<std::mutex> lock(mu_);
        return f();
    }

    std::vector<std::pair<std::string, std::string>> connected;
    std::vector<std::string> disconnected;
    std::vector<VideoCall> videos;
    std::vector<AudioCall> audios;
    int shots = 0;
    std::vector<bool> recordRequests;

private:
    void changed();
    std::mutex mu_;
    std::condition_variable cv_;
};

}  // namespace nettest
