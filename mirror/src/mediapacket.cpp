#include "mirror/mediapacket.h"

#include <cstring>

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

MediaRead readMediaPacket(MediaSource& source, MediaPacket* out, MediaField* failedField) {
    *out = MediaPacket();
    MediaField unused;
    MediaField& failed = failedField ? *failedField : unused;
    uint8_t head[8];
    if (!source.read(head, sizeof head, failed = MediaField::kHeader))
        return MediaRead::kSourceFailed;
    if (parseMediaHeader(head, &out->header) != WireResult::kOk) return MediaRead::kExtensionOver;
    const uint32_t e = out->header.extensionLength;
    if (e != 0) {
        uint8_t ext[kMaxExtensionBytes];
        if (!source.read(ext, e, failed = MediaField::kExtension)) return MediaRead::kSourceFailed;
        if (parseMediaExtension(ext, e, &out->extension) != WireResult::kOk)
            return MediaRead::kBadExtension;
    }
    uint8_t len[4];
    if (!source.read(len, sizeof len, failed = MediaField::kLength))
        return MediaRead::kSourceFailed;
    if (parsePayloadLength(len, &out->payloadLength) != WireResult::kOk)
        return MediaRead::kPayloadOver;
    out->payloadOffset = 12 + size_t(e);
    if (out->payloadLength == 0) return MediaRead::kDone;
    uint8_t* payload = source.payloadBuffer(out->payloadLength);
    if (!payload) return MediaRead::kNoBuffer;
    if (!source.read(payload, out->payloadLength, failed = MediaField::kPayload))
        return MediaRead::kSourceFailed;
    out->payload = payload;
    return MediaRead::kDone;
}

namespace {

// Bytes of a span; the payload is read in place.
class SpanSource : public MediaSource {
public:
    SpanSource(const uint8_t* buf, size_t len) : buf_(buf), len_(len) {}
    bool read(void* out, size_t n, MediaField field) override {
        if (len_ - at_ < n) return false;
        if (field != MediaField::kPayload) std::memcpy(out, buf_ + at_, n);
        at_ += n;
        return true;
    }
    uint8_t* payloadBuffer(uint32_t) override { return const_cast<uint8_t*>(buf_ + at_); }
    size_t consumed() const { return at_; }

private:
    const uint8_t* buf_;
    size_t len_;
    size_t at_ = 0;
};

}  // namespace

long parseMediaPacket(const uint8_t* buf, size_t len, MediaPacket* out) {
    SpanSource source(buf, len);
    switch (readMediaPacket(source, out)) {
        case MediaRead::kDone:
            return static_cast<long>(source.consumed());
        case MediaRead::kSourceFailed:
            return 0;
        default:
            return -1;
    }
}

}  // namespace mirror
