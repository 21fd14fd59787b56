// Picture records that travel through queued signals. Immutable once emitted (the time is set
// before); may be read from
// several threads at once. The buffer lives until the last I420FramePtr is dropped, on whatever
// thread that happens; the release action (if any) then gives it back to its owner.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

class VideoFrame {
public:
    VideoFrame() = default;
    VideoFrame(uint8_t* data, std::function<void()> release, int width, int height)
        : data_(data), release_(std::move(release)), width_(width), height_(height) {}
    virtual ~VideoFrame();
    VideoFrame(const VideoFrame&) = delete;
    VideoFrame& operator=(const VideoFrame&) = delete;

    uint8_t* data() const { return data_; }
    int width() const { return width_; }
    int height() const { return height_; }
    // When the picture came out of the decoder, bridge clock microseconds; 0 when unknown.
    int64_t timeUs() const { return timeUs_; }
    void setTimeUs(int64_t usec) { timeUs_ = usec; }

protected:
    uint8_t* data_ = nullptr;
    std::function<void()> release_;
    int width_ = 0;
    int height_ = 0;
    int64_t timeUs_ = 0;
};

// Planar YUV 4:2:0 plus an alpha plane, all four planes one after the other in one buffer:
// Y (strideY x height), U and V (stride x (height + 1) / 2 each), A (strideA x height).
class I420Frame : public VideoFrame {
public:
    // Owning: allocates the buffer and frees it on destruction. Alpha is left as allocated.
    I420Frame(int width, int height, int strideY, int strideU, int strideV, int strideA);
    // Owning and opaque: A stride = Y stride, alpha plane filled with 255.
    I420Frame(int width, int height, int strideY, int strideU, int strideV);
    // Wrapping an external buffer of at least bufferSize() bytes; release gives it back.
    // A stride = Y stride, alpha plane filled with 255.
    I420Frame(uint8_t* buffer, int strideY, int strideU, int strideV, int width, int height,
              std::function<void()> release);
    // Wrapping with an explicit alpha stride; the alpha plane is left as it is.
    I420Frame(uint8_t* buffer, int strideY, int strideU, int strideV, int strideA, int width,
              int height, std::function<void()> release);

    static int chromaHeight(int height) { return (height + 1) / 2; }
    // The width a picture is shown and offered to the camera with: columns beyond a multiple of 8
    // are dropped, nothing is scaled.
    static int displayWidth(int width) { return width & ~7; }
    static size_t bufferSize(int height, int strideY, int strideU, int strideV, int strideA);
    size_t bufferSize() const {
        return bufferSize(height_, strideY_, strideU_, strideV_, strideA_);
    }

    uint8_t* dataY() const { return data_; }
    uint8_t* dataU() const { return dataY() + static_cast<size_t>(strideY_) * height_; }
    uint8_t* dataV() const {
        return dataU() + static_cast<size_t>(strideU_) * chromaHeight(height_);
    }
    uint8_t* dataA() const {
        return dataV() + static_cast<size_t>(strideV_) * chromaHeight(height_);
    }
    int strideY() const { return strideY_; }
    int strideU() const { return strideU_; }
    int strideV() const { return strideV_; }
    int strideA() const { return strideA_; }

private:
    void fillAlpha();

    int strideY_ = 0;
    int strideU_ = 0;
    int strideV_ = 0;
    int strideA_ = 0;
};

using I420FramePtr = std::shared_ptr<I420Frame>;
