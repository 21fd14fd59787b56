// Feeds a byte stream to the media packet reader: the whole-packet parser and the field
// parsers the servers call step by step must agree and never read outside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mirror/mediapacket.h"

using namespace mirror;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// The server's way: fixed-size fields copied into buffers of exactly their own size.
long stepwise(const uint8_t* buf, size_t len, MediaPacket* out) {
    *out = MediaPacket();
    if (len < 8) return 0;
    std::vector<uint8_t> head(buf, buf + 8);
    if (parseMediaHeader(head.data(), &out->header) != WireResult::kOk) return -1;
    size_t at = 8;
    const size_t e = out->header.extensionLength;
    if (e != 0) {
        if (len - at < e) return 0;
        std::vector<uint8_t> ext(buf + at, buf + at + e);
        if (parseMediaExtension(ext.data(), ext.size(), &out->extension) != WireResult::kOk)
            return -1;
        at += e;
    }
    if (len - at < 4) return 0;
    std::vector<uint8_t> word(buf + at, buf + at + 4);
    if (parsePayloadLength(word.data(), &out->payloadLength) != WireResult::kOk) return -1;
    at += 4;
    if (len - at < out->payloadLength) return 0;
    out->payloadOffset = at;
    return static_cast<long>(at + out->payloadLength);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t at = 0;
    while (at < size) {
        // An exact-size copy lets the address sanitizer see any read past the input.
        std::vector<uint8_t> rest(data + at, data + size);
        MediaPacket whole, steps;
        const long a = parseMediaPacket(rest.data(), rest.size(), &whole);
        const long b = stepwise(rest.data(), rest.size(), &steps);
        check(a == b);
        if (a <= 0) break;
        check(static_cast<size_t>(a) <= rest.size());
        check(whole.payloadOffset + whole.payloadLength == static_cast<size_t>(a));
        check(whole.header.extensionLength <= kMaxExtensionBytes);
        check(whole.payloadLength <= kMaxPayloadBytes);
        check(whole.extension.frameKind == steps.extension.frameKind);
        check(whole.extension.sampleRate == steps.extension.sampleRate);
        if (whole.header.extensionLength == 0) check(whole.extension.frameKind == -1);
        (void)isUsableAudioFormat(whole.extension);
        at += static_cast<size_t>(a);
    }
    return 0;
}
