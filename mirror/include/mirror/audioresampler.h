// Converts blocks of unsigned 8-bit interleaved PCM to signed 16-bit at the same rate and channel
// count with libswresample, rebuilding the converter only when the input format changes.
// Thread rules: one thread at a time (the streaming media server's).
#pragma once

#include <cstdint>
#include <string>

struct SwrContext;

namespace mirror {

class AudioResampler {
public:
    enum Result { kInitFailed = -1, kConvertFailed = -2, kBadInput = -3 };

    AudioResampler() = default;
    ~AudioResampler();
    AudioResampler(const AudioResampler&) = delete;
    AudioResampler& operator=(const AudioResampler&) = delete;

    // Converts length bytes of U8 samples. Returns the byte count of the S16 block at *out
    // (valid until the next call), or a Result with FFmpeg's error text in *error.
    int convertU8ToS16(const uint8_t* data, int length, int sampleRate, int channels,
                       const uint8_t** out, std::string* error);

    // The input format the converter is built for (0 when none) and how often it was built.
    int sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }
    int builds() const { return builds_; }

private:
    bool rebuild(int sampleRate, int channels, std::string* error);
    void freeConverter();

    SwrContext* swr_ = nullptr;
    int sampleRate_ = 0;
    int channels_ = 0;
    int capacity_ = 0;  // bytes the converted buffer holds
    uint8_t* converted_ = nullptr;
    int builds_ = 0;
};

}  // namespace mirror
