// The picture code of --code-stamp: a picture's sequence number as a row of large black and white
// cells along the top edge, coarse enough to survive H.264 at low bit rates, so a consumer of the
// camera can tell which picture it got. Plain functions, any thread.
#pragma once

#include <cstdint>

namespace phonesim {

constexpr int kStampBits = 16;
constexpr int kStampRows = 80;

// Paints the low kStampBits bits of value into the luma plane (most significant bit first).
void paintStamp(uint8_t* luma, int stride, int width, int height, uint32_t value);

// Reads a code back; false when a cell is neither clearly black nor clearly white.
bool readStamp(const uint8_t* luma, int stride, int width, int height, uint32_t* value);

}  // namespace phonesim
