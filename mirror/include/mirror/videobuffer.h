// Two reusable decoded pictures swapped under a mutex: the decoder writes one while the consumer
// reads the other, and an unread picture is overwritten by the next (the newest picture wins).
// Thread rules: decodeTarget() and publishDecoded() on the decoding thread only; lock(),
// takeDisplayFrame(), unlock() on the consumer side; cancelWait() from any thread;
// allocateFrames()/releaseFrames() while no decoding thread runs.
#pragma once

#include <condition_variable>
#include <mutex>

#include "mirror/avhandles.h"

namespace mirror {

class VideoBuffer {
public:
    VideoBuffer() = default;
    virtual ~VideoBuffer() = default;
    VideoBuffer(const VideoBuffer&) = delete;
    VideoBuffer& operator=(const VideoBuffer&) = delete;

    // False (and no frames) when either allocation failed.
    bool allocateFrames(bool waitForConsumer);
    void releaseFrames();

    void lock();
    void unlock();

    // The frame the decoder writes into. Read without the lock: only the decoding thread swaps.
    AVFrame* decodeTarget() const { return decodingFrame_.get(); }
    // Makes the freshly decoded picture the rendering frame. droppedPrevious tells whether the
    // consumer had not taken the previous one (it is then overwritten, and no new notice is due).
    void publishDecoded(bool* droppedPrevious);
    // Consumer side, with lock() held: marks the picture consumed and returns it.
    AVFrame* takeDisplayFrame();
    // Releases a decoder waiting for the consumer (only when waiting was asked for).
    void cancelWait();

private:
    AvFramePtr decodingFrame_;
    AvFramePtr renderingFrame_;
    std::mutex mutex_;  // guards the two frame pointers and the flags below
    bool renderingFrameConsumed_ = true;
    bool waitForConsumer_ = false;
    std::condition_variable consumed_;
    bool interrupted_ = false;
};

}  // namespace mirror
