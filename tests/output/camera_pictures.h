// Test pictures for the camera tests: smooth, textured I420 frames and a PSNR measure.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>

#include "mirror/videoframe.h"

namespace camtest {

// A w x h picture with smooth gradients (so scaling keeps it recognisable), distinct U and V
// content and a seed that shifts it. strideY (0 = tight) may leave padding at row ends.
inline I420FramePtr makePicture(int w, int h, int seed, int strideY = 0) {
    if (strideY == 0) strideY = w;
    const int strideC = strideY / 2;
    auto f = std::make_shared<I420Frame>(w, h, strideY, strideC, strideC);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < strideY; ++x)
            f->dataY()[y * strideY + x] =
                x < w ? static_cast<uint8_t>(128 + 70 * std::sin((x + seed * 7) / 61.0) *
                                                       std::cos(y / 47.0))
                      : 7;  // padding the copy must skip
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < strideC; ++x) {
            f->dataU()[y * strideC + x] = static_cast<uint8_t>(90 + 30 * std::sin(x / 37.0));
            f->dataV()[y * strideC + x] = static_cast<uint8_t>(190 - 30 * std::cos(y / 29.0));
        }
    return f;
}

// PSNR of two planes of w x h; 99 for identical planes.
inline double psnr(const uint8_t* a, int strideA, const uint8_t* b, int strideB, int w, int h) {
    double se = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double d = double(a[y * strideA + x]) - double(b[y * strideB + x]);
            se += d * d;
        }
    if (se == 0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * w * h / se);
}

}  // namespace camtest
