// Turns audio blocks of any rate and channel count into 44.1 kHz stereo blocks for the recorder.
// The converter and its output buffer are kept and rebuilt only when the input format changes;
// output blocks take their memory from the given packet pool.
// Thread rules: one thread at a time (the hub calls it under its record lock).
#pragma once

#include <cstdint>

#include "kivobridge/pool.h"
#include "mirror/pcmframe.h"

struct SwrContext;

class PcmResampler {
public:
    static constexpr int kRate = 44100;
    static constexpr int kChannels = 2;

    explicit PcmResampler(pp::Abstract_PacketPool* pool) : pool_(pool) {}
    ~PcmResampler();
    PcmResampler(const PcmResampler&) = delete;
    PcmResampler& operator=(const PcmResampler&) = delete;

    // 16-bit interleaved input. False (the block is dropped) when the converter cannot be
    // built, conversion yields nothing or the pool gives no memory.
    bool resample(const PcmFrame& in, PcmFramePtr* out);

    int builds() const { return builds_; }  // how often the converter was (re)built

private:
    bool rebuild(int rate, int channels);

    pp::Abstract_PacketPool* pool_;
    SwrContext* swr_ = nullptr;  // owned, freed in rebuild() and the destructor
    int inRate_ = 0;
    int inChannels_ = 0;
    int capacity_ = 0;           // samples per channel the output buffer holds
    uint8_t* output_ = nullptr;  // av_samples_alloc'd, owned
    int builds_ = 0;
};
