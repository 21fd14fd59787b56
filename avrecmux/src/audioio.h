// Converts PCM of any layout, rate and sample format into the audio encoder's format and re-cuts
// it into frames of exactly the encoder's frame size through a FIFO.
// Thread rules: none inside; used by the single thread that drives its muxer.
#pragma once

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

struct AVAudioFifo;
struct SwrContext;

namespace kivo {

class AudioIO {
public:
    AudioIO();
    virtual ~AudioIO();
    AudioIO(const AudioIO&) = delete;
    AudioIO& operator=(const AudioIO&) = delete;

    // True when a FIFO exists afterwards. Samples still in an old FIFO are lost on a change.
    bool set_output(AVSampleFormat sample_fmt, int channels, int sample_rate);
    // Converts frame if needed and appends its samples to the FIFO; false when they were not.
    bool push(AVFrame* frame);
    // A new frame of exactly nb_samples output samples (caller frees it), or null when the FIFO
    // holds fewer (they stay) or no output format is set.
    AVFrame* get(int nb_samples);

    int buffered_samples() const;
    // True while a converter is in use (the input differs from the output format).
    bool converting() const { return swr_ != nullptr; }

private:
    struct Format {
        AVSampleFormat sample_fmt = AV_SAMPLE_FMT_NONE;
        int channels = 0;
        AVChannelLayout layout{};
        int sample_rate = 0;
    };
    bool rebuild_converter();

    SwrContext* swr_ = nullptr;
    AVAudioFifo* fifo_ = nullptr;
    Format in_;
    Format out_;
};

}  // namespace kivo
