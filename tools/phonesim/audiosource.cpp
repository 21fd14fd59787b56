#include "audiosource.h"

#include <algorithm>
#include <cmath>

#include "ffmpeg.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace phonesim {

namespace {

constexpr double kPi = 3.14159265358979323846;

class ToneAudio : public AudioSource {
public:
    explicit ToneAudio(const Options& o)
        : AudioSource(o),
          step_(2 * kPi * o.toneHz / o.sampleRate),
          beepFrames_(o.syncMarks ? o.sampleRate / 10 : 0),
          clickBlocks_(clickEveryBlocks(o)),
          clickFrames_(o.sampleRate / 500) {}

    bool next(std::vector<uint8_t>* block) override {
        block->clear();
        block->reserve(static_cast<size_t>(blockFrames_ * channels_ * bits_ / 8));
        const bool click = clickBlocks_ > 0 && block_ % clickBlocks_ == 0;
        ++block_;
        for (int i = 0; i < blockFrames_; ++i) {
            double s = 0.5 * std::sin(phase_);
            phase_ = std::fmod(phase_ + step_, 2 * kPi);
            // A 2 kHz burst: short enough to time, long enough to survive resampling.
            if (clickBlocks_ > 0)
                s = click && i < clickFrames_ ? 0.8 * std::sin(2 * kPi * 2000.0 * (i + 0.5) / rate_)
                                              : 0;
            // --sync-marks: sound only in the first 100 ms of every second.
            if (beepFrames_ > 0 && frame_++ % rate_ >= beepFrames_) s = 0;
            for (int c = 0; c < channels_; ++c) {
                if (bits_ == 8) {
                    block->push_back(static_cast<uint8_t>(std::lround(128 + 127 * s)));
                } else {
                    const auto v = static_cast<int16_t>(std::lround(32767 * s));
                    block->push_back(static_cast<uint8_t>(v & 0xff));
                    block->push_back(static_cast<uint8_t>((v >> 8) & 0xff));
                }
            }
        }
        return true;
    }

private:
    double step_;
    double phase_ = 0;
    int64_t beepFrames_;
    int64_t frame_ = 0;
    int clickBlocks_;
    int clickFrames_;
    int64_t block_ = 0;
};

class FileAudio : public AudioSource {
public:
    explicit FileAudio(const Options& o) : AudioSource(o) {}

    bool init(const Options& o, std::string* error) {
        input_ = openInput(o.audioFile, error);
        if (!input_) return false;
        stream_ = av_find_best_stream(input_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        if (stream_ < 0) {
            *error = o.audioFile + " has no audio stream";
            return false;
        }
        AVStream* st = input_->streams[stream_];
        const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
        decoder_.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
        if (!decoder_ || avcodec_parameters_to_context(decoder_.get(), st->codecpar) < 0 ||
            avcodec_open2(decoder_.get(), codec, nullptr) < 0) {
            *error = "cannot decode the audio of " + o.audioFile;
            return false;
        }
        AVChannelLayout outLayout;
        av_channel_layout_default(&outLayout, channels_);
        SwrContext* raw = nullptr;
        const int rc = swr_alloc_set_opts2(
            &raw, &outLayout, bits_ == 8 ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_S16, rate_,
            &decoder_->ch_layout, decoder_->sample_fmt, decoder_->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&outLayout);
        swr_.reset(raw);
        if (rc < 0 || swr_init(swr_.get()) < 0) {
            *error = "cannot convert the audio of " + o.audioFile;
            return false;
        }
        packet_.reset(av_packet_alloc());
        frame_.reset(av_frame_alloc());
        return packet_ && frame_;
    }

    bool next(std::vector<uint8_t>* block) override {
        const size_t blockBytes = static_cast<size_t>(blockFrames_ * channels_ * bits_ / 8);
        while (pending_.size() < blockBytes && !ended_) readMore();
        if (pending_.empty()) return false;
        const size_t n = std::min(blockBytes, pending_.size());
        block->assign(pending_.begin(), pending_.begin() + n);
        pending_.erase(pending_.begin(), pending_.begin() + n);
        return true;
    }

private:
    void readMore() {
        const int rc = av_read_frame(input_.get(), packet_.get());
        if (rc < 0) {
            ended_ = true;
            avcodec_send_packet(decoder_.get(), nullptr);
        } else {
            const bool ours = packet_->stream_index == stream_;
            if (ours) avcodec_send_packet(decoder_.get(), packet_.get());
            av_packet_unref(packet_.get());
            if (!ours) return;
        }
        while (avcodec_receive_frame(decoder_.get(), frame_.get()) == 0) {
            convert(const_cast<const uint8_t**>(frame_->extended_data), frame_->nb_samples);
            av_frame_unref(frame_.get());
        }
        if (ended_) convert(nullptr, 0);
    }

    void convert(const uint8_t** in, int inFrames) {
        const int room = swr_get_out_samples(swr_.get(), inFrames);
        if (room <= 0) return;
        const size_t frameBytes = static_cast<size_t>(channels_ * bits_ / 8);
        const size_t old = pending_.size();
        pending_.resize(old + static_cast<size_t>(room) * frameBytes);
        uint8_t* out = pending_.data() + old;
        const int got = swr_convert(swr_.get(), &out, room, in, inFrames);
        pending_.resize(old + static_cast<size_t>(std::max(got, 0)) * frameBytes);
    }

    AvFormatInputPtr input_;
    int stream_ = -1;
    AvCodecContextPtr decoder_;
    SwrPtr swr_;
    AvPacketPtr packet_;
    AvFramePtr frame_;
    std::vector<uint8_t> pending_;
    bool ended_ = false;
};

}  // namespace

std::unique_ptr<AudioSource> makeAudioSource(const Options& o, std::string* error) {
    std::unique_ptr<AudioSource> source;
    if (o.audioFile.empty()) {
        source = std::make_unique<ToneAudio>(o);
    } else {
        auto file = std::make_unique<FileAudio>(o);
        if (!file->init(o, error)) return nullptr;
        source = std::move(file);
    }
    return source;
}

}  // namespace phonesim
