#include "mirror/audioresampler.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace mirror {

namespace {

// Beyond what libswresample takes (SWR_CH_MAX); a phone announcing more is not believed.
constexpr int kMaxChannels = 64;

std::string errorText(int code) {
    char text[1024] = {0};
    av_strerror(code, text, sizeof(text));
    return text;
}

}  // namespace

AudioResampler::~AudioResampler() {
    freeConverter();
    av_freep(&converted_);
}

void AudioResampler::freeConverter() {
    swr_free(&swr_);
    sampleRate_ = 0;
    channels_ = 0;
}

bool AudioResampler::rebuild(int sampleRate, int channels, std::string* error) {
    freeConverter();
    sampleRate_ = sampleRate;
    channels_ = channels;
    ++builds_;
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels);
    int ret = swr_alloc_set_opts2(&swr_, &layout, AV_SAMPLE_FMT_S16, sampleRate, &layout,
                                  AV_SAMPLE_FMT_U8, sampleRate, 5, nullptr);
    av_channel_layout_uninit(&layout);
    if (ret >= 0) ret = swr_init(swr_);
    if (ret < 0) {
        if (error) *error = errorText(ret);
        freeConverter();
        return false;
    }
    return true;
}

int AudioResampler::convertU8ToS16(const uint8_t* data, int length, int sampleRate, int channels,
                                   const uint8_t** out, std::string* error) {
    if (!data || length <= 0 || sampleRate <= 0 || channels <= 0 || channels > kMaxChannels)
        return kBadInput;
    if (!swr_ || sampleRate != sampleRate_ || channels != channels_) {
        if (!rebuild(sampleRate, channels, error)) return kInitFailed;
    }
    const int samples = length / channels;
    if (samples <= 0) return kBadInput;
    // Counted in bytes: a block with more channels needs more room for the same sample count.
    const int needed = av_samples_get_buffer_size(nullptr, channels, samples, AV_SAMPLE_FMT_S16, 0);
    if (needed > capacity_) {
        av_freep(&converted_);
        capacity_ = 0;
        if (av_samples_alloc(&converted_, nullptr, channels, samples, AV_SAMPLE_FMT_S16, 0) < 0) {
            if (error) *error = errorText(AVERROR(ENOMEM));
            return kConvertFailed;
        }
        capacity_ = needed;
    }
    const uint8_t* in = data;
    const int converted = swr_convert(swr_, &converted_, samples, &in, samples);
    if (converted < 0) {
        if (error) *error = errorText(converted);
        return kConvertFailed;
    }
    *out = converted_;
    return av_samples_get_buffer_size(nullptr, channels, converted, AV_SAMPLE_FMT_S16, 1);
}

}  // namespace mirror
