#include "net_support.h"

#include <json/json.h>

namespace nettest {

Bytes be32(uint32_t v) {
    Bytes b(4);
    platform::storeBe32(b.data(), v);
    return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes controlFrame(const std::string& json) {
    return be32(static_cast<uint32_t>(json.size())) + bytesOf(json);
}

Bytes mediaPacket(uint32_t type, const std::vector<uint32_t>& extension, const Bytes& payload) {
    Bytes p = be32(type) + be32(static_cast<uint32_t>(extension.size() * 4));
    for (uint32_t w : extension) p = p + be32(w);
    return p + be32(static_cast<uint32_t>(payload.size())) + payload;
}

Bytes keyPacket(const std::string& key) {
    return mediaPacket(0, {}, bytesOf(key));
}

bool NetClient::connect(uint16_t port) {
    sock_ = platform::connectLoopback(port);
    if (sock_.valid()) platform::setIoTimeouts(sock_.get(), 50);
    return sock_.valid();
}

bool NetClient::send(const Bytes& bytes) {
    return platform::sendAll(sock_.get(), bytes.data(), bytes.size(), nullptr,
                             platform::Clock::now() + std::chrono::seconds(10));
}

Bytes NetClient::read(size_t n, int timeoutMs) {
    Bytes out(n);
    size_t got = n;
    platform::recvExact(sock_.get(), out.data(), &got, nullptr,
                        platform::Clock::now() + std::chrono::milliseconds(timeoutMs));
    out.resize(got);
    return out;
}

std::string NetClient::readControl(int timeoutMs) {
    const Bytes head = read(4, timeoutMs);
    if (head.size() != 4) return std::string();
    const uint32_t n = platform::loadBe32(head.data());
    const Bytes text = read(n, timeoutMs);
    return std::string(text.begin(), text.end());
}

bool NetClient::waitClosed(int timeoutMs) {
    const auto end = platform::Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t b[4096];
    while (platform::Clock::now() < end) {
        const long n = platform::recvSome(sock_.get(), b, sizeof b);
        if (n == 0) return true;
        if (n < 0 && !platform::isTimeoutError(platform::lastError())) return true;
    }
    return false;
}

bool NetClient::silentFor(int timeoutMs) {
    const auto end = platform::Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t b[1];
    while (platform::Clock::now() < end) {
        const long n = platform::recvSome(sock_.get(), b, sizeof b);
        if (n >= 0) return false;
        if (!platform::isTimeoutError(platform::lastError())) return false;
    }
    return true;
}

bool heartbeatWorks(uint16_t port) {
    NetClient c(port);
    if (!c.valid() || !c.send(controlFrame("{\"type\":-1,\"version\":\"1.0\"}"))) return false;
    return c.readControl() == "{\"type\":-1,\"version\":\"1.0\"}\n";
}

void RecordingObserver::changed() {
    cv_.notify_all();
}

void RecordingObserver::onConnected(const char* serial, const char* name) {
    std::lock_guard<std::mutex> lock(mu_);
    connected.emplace_back(serial, name);
    changed();
}

void RecordingObserver::onOutConnected(const char*, const char*) {}

void RecordingObserver::onDisconnected(const char* serial) {
    std::lock_guard<std::mutex> lock(mu_);
    disconnected.emplace_back(serial);
    changed();
}

void RecordingObserver::onVideoData(const char* serial, const unsigned char* data, int length,
                                    bool configuration) {
    std::lock_guard<std::mutex> lock(mu_);
    videos.push_back({serial, Bytes(data, data + length), configuration});
    changed();
}

void RecordingObserver::audio_process(const char* serial, const unsigned char* data, int length,
                                      int sampleRate, int channels, int bitsPerSample) {
    std::lock_guard<std::mutex> lock(mu_);
    audios.push_back({serial, Bytes(data, data + length), sampleRate, channels, bitsPerSample});
    changed();
}

void RecordingObserver::onShotScreen() {
    std::lock_guard<std::mutex> lock(mu_);
    ++shots;
    changed();
}

void RecordingObserver::onRecordFrame(bool start) {
    std::lock_guard<std::mutex> lock(mu_);
    recordRequests.push_back(start);
    changed();
}

bool RecordingObserver::waitFor(const std::function<bool()>& done, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

}  // namespace nettest
