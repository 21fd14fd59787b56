// Description records stored in a queued node's buffer right behind the payload (at the next
// 8-byte boundary); the node's user pointer holds their address.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {
namespace muxer {

struct VideoDesc {
    int32_t width;
    int32_t height;
    int32_t size;
    uint32_t pitch[3];
    uint32_t dlen[3];
    int64_t time;  // microseconds relative to the recording's start time
};

struct AudioDesc {
    int32_t nbytes;
    int32_t sample_rate;
    int32_t channels;
    int32_t bits_per_sample;
    int64_t time;  // microseconds relative to the recording's start time
};

// Offset of the description record behind a payload of n bytes.
inline size_t desc_offset(size_t n) {
    return (n + 7) & ~size_t(7);
}

}  // namespace muxer
}  // namespace kivo
