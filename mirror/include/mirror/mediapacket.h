// Wire format of the media and play channels: field parsers and the one packet reader, shared
// by the servers and the fuzz target. No state of their own; any thread.
//
// Packet: type (u32 BE), extension length E (u32 BE), E bytes of 32-bit words (word 0 = kind),
// payload length L (u32 BE), L bytes of payload.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirror {

// Bounds on lengths announced by a peer; a packet over a bound closes its connection.
constexpr uint32_t kMaxExtensionBytes = 4u << 10;  // 4 KiB
constexpr uint32_t kMaxPayloadBytes = 32u << 20;   // 32 MiB

enum MediaPacketType : uint32_t { kPacketKey = 0, kPacketVideo = 1, kPacketAudio = 2 };

// Extension kinds and the frame kind that marks codec configuration data.
constexpr uint32_t kExtensionVideo = 1;
constexpr uint32_t kExtensionAudio = 2;
constexpr int kFrameKindConfig = 2;

struct MediaHeader {
    uint32_t type = 0;
    uint32_t extensionLength = 0;
};

// What the extension says; without one the frame kind is -1 (a picture) and the audio format
// all zero.
struct MediaExtension {
    int frameKind = -1;
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    uint32_t bitsPerSample = 0;
};

enum class WireResult { kOk, kOverLimit, kBadExtension };

// The 8-byte header; kOverLimit when E exceeds kMaxExtensionBytes.
WireResult parseMediaHeader(const uint8_t* buf, MediaHeader* out);
// The extension words; kBadExtension for an unknown kind or an extension too short for its
// kind. Never reads beyond len.
WireResult parseMediaExtension(const uint8_t* buf, size_t len, MediaExtension* out);
// The 4-byte payload length; kOverLimit when it exceeds kMaxPayloadBytes.
WireResult parsePayloadLength(const uint8_t* buf, uint32_t* out);

// Whether an audio format is one the audio path can take (zero fields mean "no format").
bool isUsableAudioFormat(const MediaExtension& ext);

// The fields of a packet, in wire order.
enum class MediaField { kHeader, kExtension, kLength, kPayload };

// Where a packet's bytes come from: the connection in the server, a byte span elsewhere.
class MediaSource {
public:
    virtual ~MediaSource() = default;
    // Fills exactly len bytes of the given field; false when they cannot be had (the source
    // knows why).
    virtual bool read(void* buf, size_t len, MediaField field) = 0;
    // Room for a payload of len (> 0) bytes, kept until the next packet; null when none.
    virtual uint8_t* payloadBuffer(uint32_t len) = 0;
};

enum class MediaRead {
    kDone,
    kSourceFailed,
    kExtensionOver,
    kBadExtension,
    kPayloadOver,
    kNoBuffer
};

struct MediaPacket {
    MediaHeader header;
    MediaExtension extension;
    uint32_t payloadLength = 0;
    const uint8_t* payload = nullptr;  // the source's payload buffer; null when the length is 0
    size_t payloadOffset = 0;          // bytes before the payload
};

// Reads one whole packet (header, extension, length, payload) from source: the one reader of
// the media channel, used by the server and the fuzz target alike. On kSourceFailed,
// *failedField (when given) names the field that could not be read.
MediaRead readMediaPacket(MediaSource& source, MediaPacket* out, MediaField* failedField = nullptr);

// A whole media packet at the start of buf: the bytes it takes (> 0), 0 when more bytes are
// needed, -1 on a protocol error. The payload is buf[payloadOffset, payloadOffset + length).
long parseMediaPacket(const uint8_t* buf, size_t len, MediaPacket* out);

}  // namespace mirror
