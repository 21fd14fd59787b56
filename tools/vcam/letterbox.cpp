#include "letterbox.h"

#include <algorithm>
#include <cstring>

#include <libyuv.h>

namespace vcam {

namespace {

void fillI420(uint8_t* dst, int w, int h, uint8_t y, uint8_t uv) {
    const size_t luma = static_cast<size_t>(w) * h;
    std::memset(dst, y, luma);
    std::memset(dst + luma, uv, 2 * static_cast<size_t>(w / 2) * (h / 2));
}

}  // namespace

I420View tightView(const uint8_t* data, int width, int height) {
    I420View v;
    v.y = data;
    v.u = data + static_cast<size_t>(width) * height;
    v.v = v.u + static_cast<size_t>(width / 2) * (height / 2);
    v.strideY = width;
    v.strideU = v.strideV = width / 2;
    v.width = width;
    v.height = height;
    return v;
}

Rect fitRect(int sw, int sh, int dw, int dh) {
    Rect r;
    if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0) return r;
    // Compare sw/sh with dw/dh without rounding: sw * dh against dw * sh.
    const long long lhs = static_cast<long long>(sw) * dh;
    const long long rhs = static_cast<long long>(dw) * sh;
    if (lhs >= rhs) {  // wider than the output: full width, bars above and below
        r.width = dw;
        r.height = static_cast<int>(static_cast<long long>(sh) * dw / sw);
    } else {  // taller: full height, bars left and right
        r.height = dh;
        r.width = static_cast<int>(static_cast<long long>(sw) * dh / sh);
    }
    r.width = std::max(2, r.width & ~1);
    r.height = std::max(2, r.height & ~1);
    r.x = ((dw - r.width) / 2) & ~1;
    r.y = ((dh - r.height) / 2) & ~1;
    return r;
}

void letterbox(const I420View& src, uint8_t* dst, int dw, int dh) {
    const I420View out = tightView(dst, dw, dh);
    uint8_t* dy = const_cast<uint8_t*>(out.y);
    uint8_t* du = const_cast<uint8_t*>(out.u);
    uint8_t* dv = const_cast<uint8_t*>(out.v);
    if (src.width == dw && src.height == dh) {
        libyuv::I420Copy(src.y, src.strideY, src.u, src.strideU, src.v, src.strideV, dy, dw, du,
                         dw / 2, dv, dw / 2, dw, dh);
        return;
    }
    fillI420(dst, dw, dh, 16, 128);
    const Rect r = fitRect(src.width, src.height, dw, dh);
    if (r.width <= 0) return;
    const size_t cx = static_cast<size_t>(r.x / 2);
    const size_t cy = static_cast<size_t>(r.y / 2);
    libyuv::I420Scale(src.y, src.strideY, src.u, src.strideU, src.v, src.strideV, src.width,
                      src.height, dy + static_cast<size_t>(r.y) * dw + r.x, dw,
                      du + cy * (dw / 2) + cx, dw / 2, dv + cy * (dw / 2) + cx, dw / 2, r.width,
                      r.height, libyuv::kFilterBox);
}

void fillPlaceholder(uint8_t* dst, int width, int height) {
    fillI420(dst, width, height, 40, 128);
}

}  // namespace vcam
