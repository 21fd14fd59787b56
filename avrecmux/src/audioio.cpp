#include "audioio.h"

#include <cstdio>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
}

#include "ffptr.h"
#include "kivobridge/log.h"

namespace kivo {

namespace {

AVChannelLayout default_layout(int channels) {
    AVChannelLayout layout{};
    av_channel_layout_default(&layout, channels);
    return layout;
}

}  // namespace

AudioIO::AudioIO() = default;

AudioIO::~AudioIO() {
    if (fifo_) av_audio_fifo_free(fifo_);
    swr_free(&swr_);
    av_channel_layout_uninit(&in_.layout);
    av_channel_layout_uninit(&out_.layout);
}

bool AudioIO::set_output(AVSampleFormat sample_fmt, int channels, int sample_rate) {
    if (fifo_ && sample_fmt == out_.sample_fmt && channels == out_.channels &&
        sample_rate == out_.sample_rate) {
        return true;
    }
    out_.sample_fmt = sample_fmt;
    out_.channels = channels;
    out_.sample_rate = sample_rate;
    av_channel_layout_uninit(&out_.layout);
    out_.layout = default_layout(channels);
    if (fifo_) {
        av_audio_fifo_free(fifo_);
        fifo_ = nullptr;
    }
    if (channels >= 1) fifo_ = av_audio_fifo_alloc(sample_fmt, channels, 1);
    if (swr_ && !rebuild_converter()) swr_free(&swr_);
    return fifo_ != nullptr;
}

bool AudioIO::rebuild_converter() {
    if (in_.channels < 1 || out_.channels < 1) return false;
    int ret = swr_alloc_set_opts2(&swr_, &out_.layout, out_.sample_fmt, out_.sample_rate,
                                  &in_.layout, in_.sample_fmt, in_.sample_rate, 0, nullptr);
    if (ret < 0 || !swr_) return false;
    return swr_init(swr_) >= 0;
}

bool AudioIO::push(AVFrame* frame) {
    if (!frame) return false;
    if (frame->ch_layout.nb_channels < 1) return false;
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        int channels = frame->ch_layout.nb_channels;
        av_channel_layout_uninit(&frame->ch_layout);
        av_channel_layout_default(&frame->ch_layout, channels);
    }

    const Format& ref = swr_ ? in_ : out_;
    const auto frame_fmt = static_cast<AVSampleFormat>(frame->format);
    if (frame_fmt != ref.sample_fmt || av_channel_layout_compare(&frame->ch_layout, &ref.layout) ||
        frame->sample_rate != ref.sample_rate) {
        in_.sample_fmt = frame_fmt;
        in_.channels = frame->ch_layout.nb_channels;
        av_channel_layout_uninit(&in_.layout);
        av_channel_layout_copy(&in_.layout, &frame->ch_layout);
        in_.sample_rate = frame->sample_rate;
        if (in_.channels < 1 || out_.channels < 1) return false;
        if (!rebuild_converter()) {
            swr_free(&swr_);
            return false;
        }
    }
    if (!fifo_) {
        LOGE("--- audio io is NULL, 请先设置输出格式");
        return false;
    }

    AvFramePtr converted;
    AVFrame* src = frame;
    if (swr_) {
        converted.reset(av_frame_alloc());
        if (!converted) return false;
        av_channel_layout_copy(&converted->ch_layout, &out_.layout);
        converted->sample_rate = out_.sample_rate;
        converted->format = out_.sample_fmt;
        int ret = swr_convert_frame(swr_, converted.get(), frame);
        if (ret < 0) {
            fprintf(stderr, "----> swr cvt, ret=%d, err=%s\n", ret, av_error_text(ret).c_str());
            fprintf(stderr,
                    "in(c=%d,fmt=%d,freq=%d), out(c=%d,fmt=%d,freq=%d), avf(c=%d,fmt=%d,freq=%d)\n",
                    in_.channels, in_.sample_fmt, in_.sample_rate, out_.channels, out_.sample_fmt,
                    out_.sample_rate, frame->ch_layout.nb_channels, frame->format,
                    frame->sample_rate);
            fflush(stderr);
            return false;
        }
        src = converted.get();
    }
    if (src->nb_samples <= 0) return true;  // the resampler may hold everything back at first
    int ret =
        av_audio_fifo_write(fifo_, reinterpret_cast<void**>(src->extended_data), src->nb_samples);
    if (ret < 0) {
        LOGE("--- audio IO 写入错误： ret=%d, %s, nb_samples=%d, have=%d", ret,
             av_error_text(ret).c_str(), src->nb_samples, av_audio_fifo_size(fifo_));
        return false;
    }
    return true;
}

AVFrame* AudioIO::get(int nb_samples) {
    if (!fifo_) {
        LOGE("--- audio io is NULL, 请先设置输出格式");
        return nullptr;
    }
    if (nb_samples <= 0 || av_audio_fifo_size(fifo_) < nb_samples) return nullptr;
    AvFramePtr frame(av_frame_alloc());
    if (!frame) return nullptr;
    frame->nb_samples = nb_samples;
    av_channel_layout_copy(&frame->ch_layout, &out_.layout);
    frame->sample_rate = out_.sample_rate;
    frame->format = out_.sample_fmt;
    int ret = av_frame_get_buffer(frame.get(), 1);
    if (ret >= 0) {
        ret = av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame->extended_data), nb_samples);
    }
    if (ret < 0) {
        char err[64] = {0};
        av_strerror(ret, err, sizeof(err));
        LOGE("fifo read err: %s", err);
        return nullptr;
    }
    return frame.release();
}

int AudioIO::buffered_samples() const {
    return fifo_ ? av_audio_fifo_size(fifo_) : 0;
}

}  // namespace kivo
