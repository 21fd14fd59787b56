// The phone's side of the wire format: control frames (length-prefixed JSON) and media packets
// (type, extension words, payload; every integer 32-bit big-endian).
// Thread rules: pure functions and a per-connection reader; no shared state.
#pragma once

#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace phonesim {

// Request types of the control channel.
enum RequestType {
    kHeartbeat = -1,
    kPush = 0,
    kPlay = 1,
    kEndSession = 2,
    kNoAction = 3,
    kScreenshot = 4,
    kRecording = 5,
};

// Media packet types and extension kinds.
enum : uint32_t { kPacketKey = 0, kPacketVideo = 1, kPacketAudio = 2 };
enum : uint32_t { kExtVideo = 1, kExtAudio = 2 };
// Frame kinds in a video extension: codec configuration, key picture, other picture.
enum : uint32_t { kFrameConfig = 2, kFrameKey = 1, kFramePicture = 0 };

// Replies larger than this are treated as a broken peer.
constexpr uint32_t kMaxReplyBytes = 1u << 20;

void putU32(std::vector<uint8_t>* out, uint32_t v);
uint32_t getU32(const uint8_t* p);

// Compact JSON text of a request envelope; a null data value leaves "data" out.
std::string requestText(int type, const Json::Value& data = Json::Value());
// Length prefix followed by the text.
std::vector<uint8_t> controlFrame(const std::string& text);

// Header of a media packet: type, extension length, extension words, payload length. The
// payload follows it on the wire.
std::vector<uint8_t> mediaHeader(uint32_t type, const std::vector<uint32_t>& extension,
                                 uint32_t payloadLength);

// Collects control replies from a byte stream.
class ReplyReader {
public:
    // Appends received bytes.
    void feed(const uint8_t* data, size_t size);
    // Takes the next complete reply text: 1 one taken, 0 more bytes needed, -1 the stream
    // announced a reply over kMaxReplyBytes.
    int next(std::string* text);

private:
    std::vector<uint8_t> buffer_;
};

// Parses a JSON object; false with a reason when the text is not one.
bool parseJson(const std::string& text, Json::Value* out, std::string* error);

// Reads the PC's answer to Push or Play: 1 with the media port (1..65535) and session key, 0 for
// a heartbeat echo (the answer is still to come), -1 for a refusal or an answer without them.
int readSessionReply(const Json::Value& reply, int* port, std::string* key);

}  // namespace phonesim
