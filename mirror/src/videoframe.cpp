#include "mirror/videoframe.h"

#include <cstring>

VideoFrame::~VideoFrame() {
    if (release_) release_();
}

size_t I420Frame::bufferSize(int height, int strideY, int strideU, int strideV, int strideA) {
    const size_t h = static_cast<size_t>(height);
    return static_cast<size_t>(strideU + strideV) * chromaHeight(height) +
           h * static_cast<size_t>(strideY + strideA);
}

I420Frame::I420Frame(int width, int height, int strideY, int strideU, int strideV, int strideA)
    : strideY_(strideY), strideU_(strideU), strideV_(strideV), strideA_(strideA) {
    width_ = width;
    height_ = height;
    data_ = new uint8_t[bufferSize()];
    uint8_t* owned = data_;
    release_ = [owned] { delete[] owned; };
}

I420Frame::I420Frame(int width, int height, int strideY, int strideU, int strideV)
    : I420Frame(width, height, strideY, strideU, strideV, strideY) {
    fillAlpha();
}

I420Frame::I420Frame(uint8_t* buffer, int strideY, int strideU, int strideV, int width, int height,
                     std::function<void()> release)
    : I420Frame(buffer, strideY, strideU, strideV, strideY, width, height, std::move(release)) {
    fillAlpha();
}

I420Frame::I420Frame(uint8_t* buffer, int strideY, int strideU, int strideV, int strideA, int width,
                     int height, std::function<void()> release)
    : VideoFrame(buffer, std::move(release), width, height),
      strideY_(strideY),
      strideU_(strideU),
      strideV_(strideV),
      strideA_(strideA) {}

void I420Frame::fillAlpha() {
    std::memset(dataA(), 255, static_cast<size_t>(strideA_) * height_);
}
