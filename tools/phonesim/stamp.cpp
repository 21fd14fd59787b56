#include "stamp.h"

#include <algorithm>
#include <cstring>

namespace phonesim {

namespace {

constexpr uint8_t kBlack = 16;
constexpr uint8_t kWhite = 235;

int cellWidth(int width) {
    return width / kStampBits;
}

}  // namespace

void paintStamp(uint8_t* luma, int stride, int width, int height, uint32_t value) {
    const int cw = cellWidth(width);
    const int rows = std::min(kStampRows, height);
    for (int y = 0; y < rows; ++y) {
        uint8_t* row = luma + static_cast<long>(y) * stride;
        for (int bit = 0; bit < kStampBits; ++bit) {
            const bool one = (value >> (kStampBits - 1 - bit)) & 1u;
            std::memset(row + bit * cw, one ? kWhite : kBlack, static_cast<size_t>(cw));
        }
    }
}

bool readStamp(const uint8_t* luma, int stride, int width, int height, uint32_t* value) {
    const int cw = cellWidth(width);
    if (cw < 8 || height < kStampRows) return false;
    uint32_t v = 0;
    for (int bit = 0; bit < kStampBits; ++bit) {
        // The middle of the cell: edges blur under compression.
        long sum = 0;
        int n = 0;
        for (int y = kStampRows / 4; y < kStampRows * 3 / 4; y += 2)
            for (int x = bit * cw + cw / 4; x < bit * cw + cw * 3 / 4; x += 2, ++n)
                sum += luma[static_cast<long>(y) * stride + x];
        const long mean = sum / n;
        if (mean > 70 && mean < 180) return false;
        v = (v << 1) | (mean >= 180 ? 1u : 0u);
    }
    *value = v;
    return true;
}

}  // namespace phonesim
