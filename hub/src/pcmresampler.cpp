#include "hub/pcmresampler.h"

#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include "kivobridge/log.h"

namespace {

std::string errorText(int code) {
    char text[1024] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace

PcmResampler::~PcmResampler() {
    swr_free(&swr_);
    av_freep(&output_);
}

bool PcmResampler::rebuild(int rate, int channels) {
    inRate_ = rate;
    inChannels_ = channels;
    swr_free(&swr_);
    AVChannelLayout outLayout;
    AVChannelLayout inLayout;
    av_channel_layout_default(&outLayout, kChannels);
    av_channel_layout_default(&inLayout, channels);
    int rc = swr_alloc_set_opts2(&swr_, &outLayout, AV_SAMPLE_FMT_S16, kRate, &inLayout,
                                 AV_SAMPLE_FMT_S16, rate, 0, nullptr);
    av_channel_layout_uninit(&outLayout);
    av_channel_layout_uninit(&inLayout);
    if (rc >= 0) rc = swr_init(swr_);
    ++builds_;
    if (rc < 0) {
        LOGE("avresample_open failed! error[%s]", errorText(rc).c_str());
        swr_free(&swr_);
        return false;
    }
    return true;
}

bool PcmResampler::resample(const PcmFrame& in, PcmFramePtr* out) {
    if (!out || !in.data() || in.channels() <= 0 || in.sampleRate() <= 0 ||
        in.bitsPerSample() != 16)
        return false;
    if (!swr_ || in.sampleRate() != inRate_ || in.channels() != inChannels_) {
        if (!rebuild(in.sampleRate(), in.channels())) return false;
    }
    const int samples = in.size() / (in.channels() * 2);
    if (samples <= 0) return false;
    const int needed =
        int(av_rescale_rnd(swr_get_delay(swr_, inRate_) + samples, kRate, inRate_, AV_ROUND_UP));
    if (needed > capacity_) {
        av_freep(&output_);
        capacity_ = 0;
        if (av_samples_alloc(&output_, nullptr, kChannels, needed, AV_SAMPLE_FMT_S16, 0) < 0)
            return false;
        capacity_ = needed;
    }
    const uint8_t* input = in.data();
    const int converted = swr_convert(swr_, &output_, capacity_, &input, samples);
    if (converted <= 0) {
        LOGE("swr_convert fail! error[%s]", errorText(converted).c_str());
        return false;
    }
    const int bytes =
        av_samples_get_buffer_size(nullptr, kChannels, converted, AV_SAMPLE_FMT_S16, 1);
    pp::FLMemNode* node = pool_ && bytes > 0 ? pool_->require(size_t(bytes)) : nullptr;
    if (!node) return false;
    std::memcpy(node->buffer, output_, size_t(bytes));
    *out = std::make_shared<PcmFrame>(node->buffer, bytes, kRate, kChannels, 16,
                                      [node]() mutable { pp::release_pnode(&node); });
    return true;
}
