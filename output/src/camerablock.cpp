#include "output/camerablock.h"

#include <cstdlib>
#include <cstring>

namespace camerablock {

std::string baseName() {
    const char* fromEnv = std::getenv("KIVOCAM_SHM_NAME");
    return (fromEnv && *fromEnv) ? std::string(fromEnv) : std::string("KivoVirtualCamera");
}

std::string mappingName(const std::string& base) {
    return "/" + base;
}

std::string lockName(const std::string& base) {
    return "/" + base + "_lock";
}

std::string eventName(const std::string& base) {
    return "/" + base + "_event";
}

namespace {

void putLe32(uint8_t* p, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}

int32_t getLe32(const uint8_t* p) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(p[i]) << (8 * i);
    return static_cast<int32_t>(u);
}

}  // namespace

void writeHeader(uint8_t* block, int32_t width, int32_t height) {
    putLe32(block, width);
    putLe32(block + 4, height);
}

Header readHeader(const uint8_t* block) {
    return Header{getLe32(block), getLe32(block + 4)};
}

bool pictureFits(const Header& h, size_t blockSize) {
    if (h.width <= 0 || h.height <= 0 || (h.width & 1) || (h.height & 1)) return false;
    if (blockSize < kHeaderSize) return false;
    // Both sides are below 2^31, so the product fits 64 bits.
    return i420Size(h.width, h.height) <= blockSize - kHeaderSize;
}

Content inspect(const uint8_t* block, size_t blockSize, Header* h) {
    *h = readHeader(block);
    if (h->empty()) return Content::Empty;
    return pictureFits(*h, blockSize) ? Content::Picture : Content::Invalid;
}

}  // namespace camerablock
