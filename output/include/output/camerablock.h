// Layout of the virtual camera's picture block, shared by the writer in the program and the
// camera component that reads it: two little-endian int32 (width, height; 0 x 0 = no picture)
// followed by tight I420 planes. Plain functions, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace camerablock {

constexpr int kLandscapeWidth = 1280;
constexpr int kLandscapeHeight = 720;
constexpr size_t kHeaderSize = 8;
constexpr uint32_t kBlockSize = kHeaderSize + kLandscapeWidth * kLandscapeHeight * 3 / 2;

// Base name of the three shared objects: $KIVOCAM_SHM_NAME, else "KivoVirtualCamera".
std::string baseName();
// The objects' names for a base name: "/base", "/base_lock", "/base_event".
std::string mappingName(const std::string& base);
std::string lockName(const std::string& base);
std::string eventName(const std::string& base);

// The two sizes the program ever writes.
inline bool isCameraSize(int width, int height) {
    return (width == kLandscapeWidth && height == kLandscapeHeight) ||
           (width == kLandscapeHeight && height == kLandscapeWidth);
}

struct Header {
    int32_t width = 0;
    int32_t height = 0;
    bool empty() const { return width == 0 && height == 0; }
};

void writeHeader(uint8_t* block, int32_t width, int32_t height);
Header readHeader(const uint8_t* block);

// Whether a header read from a block of blockSize bytes describes a picture that lies inside it:
// positive, even sides whose I420 planes fit behind the header. The block is written by another
// process, so a reader trusts nothing else.
bool pictureFits(const Header& h, size_t blockSize);

enum class Content {
    Empty,    // 0 x 0: no phone
    Picture,  // a picture of the header's size follows it
    Invalid,  // the header names a size that does not fit the block
};
// What a block of blockSize bytes (at least kHeaderSize), copied out of the mapping, holds; its
// header goes to *h.
Content inspect(const uint8_t* block, size_t blockSize, Header* h);

// Bytes of a tight I420 picture.
inline size_t i420Size(int width, int height) {
    return static_cast<size_t>(width) * height + 2 * static_cast<size_t>(width / 2) * (height / 2);
}

}  // namespace camerablock
