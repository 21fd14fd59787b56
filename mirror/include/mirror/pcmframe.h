// One block of interleaved PCM that travels through (direct) signals. Immutable once emitted, so
// any thread may read it; the release action runs on whichever thread drops the last pointer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

class PcmFrame {
public:
    PcmFrame(uint8_t* data, int size, int sampleRate, int channels, int bitsPerSample,
             std::function<void()> release)
        : data_(data),
          size_(size),
          sampleRate_(sampleRate),
          channels_(channels),
          bitsPerSample_(bitsPerSample),
          release_(std::move(release)) {}
    ~PcmFrame() {
        if (release_) release_();
    }
    PcmFrame(const PcmFrame&) = delete;
    PcmFrame& operator=(const PcmFrame&) = delete;

    uint8_t* data() const { return data_; }
    int size() const { return size_; }
    int sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }
    int bitsPerSample() const { return bitsPerSample_; }

private:
    uint8_t* data_;
    int size_;
    int sampleRate_;
    int channels_;
    int bitsPerSample_;
    std::function<void()> release_;
};

using PcmFramePtr = std::shared_ptr<PcmFrame>;
