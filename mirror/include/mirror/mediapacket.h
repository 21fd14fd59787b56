// Wire format of the media and play channels: small parsers over byte spans, shared by the
// servers and the fuzz targets. Pure functions; any thread.
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

// A whole media packet in buf: the bytes it takes (> 0), 0 when more bytes are needed, -1 on a
// protocol error. On success the payload is buf[payloadOffset, payloadOffset + payloadLength).
struct MediaPacket {
    MediaHeader header;
    MediaExtension extension;
    size_t payloadOffset = 0;
    uint32_t payloadLength = 0;
};
long parseMediaPacket(const uint8_t* buf, size_t len, MediaPacket* out);

}  // namespace mirror
