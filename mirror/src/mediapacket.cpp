#include "mirror/mediapacket.h"

#include "platform/socket.h"

namespace mirror {

WireResult parseMediaHeader(const uint8_t* buf, MediaHeader* out) {
    out->type = platform::loadBe32(buf);
    out->extensionLength = platform::loadBe32(buf + 4);
    return out->extensionLength > kMaxExtensionBytes ? WireResult::kOverLimit : WireResult::kOk;
}

WireResult parseMediaExtension(const uint8_t* buf, size_t len, MediaExtension* out) {
    *out = MediaExtension();
    if (len < 4) return WireResult::kBadExtension;
    const uint32_t kind = platform::loadBe32(buf);
    if (kind == kExtensionVideo) {
        if (len < 8) return WireResult::kBadExtension;
        out->frameKind = static_cast<int>(platform::loadBe32(buf + 4));
        return WireResult::kOk;
    }
    if (kind == kExtensionAudio) {
        if (len < 16) return WireResult::kBadExtension;
        out->sampleRate = platform::loadBe32(buf + 4);
        out->channels = platform::loadBe32(buf + 8);
        out->bitsPerSample = platform::loadBe32(buf + 12);
        return WireResult::kOk;
    }
    return WireResult::kBadExtension;
}

WireResult parsePayloadLength(const uint8_t* buf, uint32_t* out) {
    *out = platform::loadBe32(buf);
    return *out > kMaxPayloadBytes ? WireResult::kOverLimit : WireResult::kOk;
}

bool isUsableAudioFormat(const MediaExtension& ext) {
    // Upper limits keep absurd values away from the resampler; they are far above any phone's.
    return ext.sampleRate != 0 && ext.channels != 0 && ext.bitsPerSample != 0 &&
           ext.sampleRate <= 1000000 && ext.channels <= 64 && ext.bitsPerSample <= 64;
}

long parseMediaPacket(const uint8_t* buf, size_t len, MediaPacket* out) {
    *out = MediaPacket();
    if (len < 8) return 0;
    if (parseMediaHeader(buf, &out->header) != WireResult::kOk) return -1;
    size_t at = 8;
    const size_t e = out->header.extensionLength;
    if (e != 0) {
        if (len - at < e) return 0;
        if (parseMediaExtension(buf + at, e, &out->extension) != WireResult::kOk) return -1;
        at += e;
    }
    if (len - at < 4) return 0;
    if (parsePayloadLength(buf + at, &out->payloadLength) != WireResult::kOk) return -1;
    at += 4;
    if (len - at < out->payloadLength) return 0;
    out->payloadOffset = at;
    return static_cast<long>(at + out->payloadLength);
}

}  // namespace mirror
