// Feeds a byte stream to the media channel's packet reader, the one the streaming media server
// runs on each connection: it must never read outside a field, never accept a length over its
// bound, and account for every byte it takes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "mirror/mediapacket.h"

using namespace mirror;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// Like the server's connection: each field is copied into the reader's own buffer, the payload
// into a heap block of exactly its size (so the address sanitizer sees any overrun).
class FuzzSource : public MediaSource {
public:
    FuzzSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool read(void* buf, size_t len, MediaField) override {
        if (size_ - at_ < len) return false;
        std::memcpy(buf, data_ + at_, len);
        at_ += len;
        return true;
    }
    uint8_t* payloadBuffer(uint32_t len) override {
        check(len > 0 && len <= kMaxPayloadBytes);
        // A length beyond the input fails its read before a byte is written, so one byte
        // stands in (still on the heap, where an overrun would show).
        payload_.reset(new uint8_t[len <= size_ - at_ ? len : 1]);
        return payload_.get();
    }
    size_t at() const { return at_; }
    const uint8_t* data() const { return data_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    std::unique_ptr<uint8_t[]> payload_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy lets the address sanitizer see any read past the input.
    const std::vector<uint8_t> input(data, data + size);
    FuzzSource source(input.data(), input.size());
    for (;;) {
        const size_t start = source.at();
        MediaPacket p;
        MediaField failed = MediaField::kHeader;
        const MediaRead r = readMediaPacket(source, &p, &failed);
        if (r != MediaRead::kDone) {
            if (r == MediaRead::kExtensionOver)
                check(p.header.extensionLength > kMaxExtensionBytes);
            if (r == MediaRead::kPayloadOver) check(p.payloadLength > kMaxPayloadBytes);
            if (r == MediaRead::kSourceFailed && failed == MediaField::kHeader)
                check(source.at() == start);
            break;
        }
        const size_t taken = source.at() - start;
        check(taken == 12 + size_t(p.header.extensionLength) + p.payloadLength);
        check(p.payloadOffset + p.payloadLength == taken);
        check(p.header.extensionLength <= kMaxExtensionBytes);
        check((p.payload != nullptr) == (p.payloadLength > 0));
        if (p.payloadLength > 0)
            check(std::memcmp(p.payload, source.data() + start + p.payloadOffset,
                              p.payloadLength) == 0);
        if (p.header.extensionLength == 0) check(p.extension.frameKind == -1);
        (void)isUsableAudioFormat(p.extension);
        // The span parser the tests use agrees with it.
        MediaPacket q;
        check(parseMediaPacket(source.data() + start, taken, &q) == static_cast<long>(taken));
        check(q.payloadLength == p.payloadLength &&
              q.extension.sampleRate == p.extension.sampleRate);
    }
    return 0;
}
