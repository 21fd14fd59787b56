#include "medialink.h"

#include "wire.h"

namespace phonesim {

bool MediaLink::open(const std::string& host, int port, std::string* error) {
    return conn_.connect(host, port, error);
}

bool MediaLink::sendPacket(uint32_t type, const std::vector<uint32_t>& extension,
                           uint32_t announced, const std::vector<uint8_t>& payload) {
    const std::vector<uint8_t> header = mediaHeader(type, extension, announced);
    if (!conn_.sendAll(header.data(), header.size(), !payload.empty())) return false;
    bytesSent_ += header.size();
    if (payload.empty()) return true;
    if (!conn_.sendAll(payload.data(), payload.size())) return false;
    bytesSent_ += payload.size();
    return true;
}

bool MediaLink::sendKey(const std::string& key) {
    return sendPacket(kPacketKey, {}, static_cast<uint32_t>(key.size()),
                      std::vector<uint8_t>(key.begin(), key.end()));
}

bool MediaLink::sendVideo(const std::vector<uint8_t>& data, uint32_t frameKind) {
    return sendPacket(kPacketVideo, {kExtVideo, frameKind}, static_cast<uint32_t>(data.size()),
                      data);
}

bool MediaLink::sendAudio(const std::vector<uint8_t>& data, int rate, int channels, int bits) {
    return sendPacket(kPacketAudio,
                      {kExtAudio, static_cast<uint32_t>(rate), static_cast<uint32_t>(channels),
                       static_cast<uint32_t>(bits)},
                      static_cast<uint32_t>(data.size()), data);
}

bool MediaLink::sendRaw(const std::vector<uint8_t>& bytes) {
    if (!conn_.sendAll(bytes.data(), bytes.size())) return false;
    bytesSent_ += bytes.size();
    return true;
}

}  // namespace phonesim
