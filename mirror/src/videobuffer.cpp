#include "mirror/videobuffer.h"

#include <utility>

namespace mirror {

bool VideoBuffer::allocateFrames(bool waitForConsumer) {
    waitForConsumer_ = waitForConsumer;
    AvFramePtr decoding(av_frame_alloc());
    AvFramePtr rendering(av_frame_alloc());
    if (!decoding || !rendering) {
        decodingFrame_.reset();
        renderingFrame_.reset();
        return false;
    }
    decodingFrame_ = std::move(decoding);
    renderingFrame_ = std::move(rendering);
    return true;
}

void VideoBuffer::releaseFrames() {
    decodingFrame_.reset();
    renderingFrame_.reset();
}

void VideoBuffer::lock() {
    mutex_.lock();
}

void VideoBuffer::unlock() {
    mutex_.unlock();
}

void VideoBuffer::publishDecoded(bool* droppedPrevious) {
    std::unique_lock<std::mutex> locker(mutex_);
    if (waitForConsumer_)
        consumed_.wait(locker, [this] { return renderingFrameConsumed_ || interrupted_; });
    std::swap(decodingFrame_, renderingFrame_);
    if (droppedPrevious) *droppedPrevious = !renderingFrameConsumed_;
    renderingFrameConsumed_ = false;
}

AVFrame* VideoBuffer::takeDisplayFrame() {
    renderingFrameConsumed_ = true;
    if (waitForConsumer_) consumed_.notify_one();
    return renderingFrame_.get();
}

void VideoBuffer::cancelWait() {
    if (!waitForConsumer_) return;
    std::lock_guard<std::mutex> locker(mutex_);
    interrupted_ = true;
    consumed_.notify_all();
}

}  // namespace mirror
