#include "videosource.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>

#include "encoder.h"
#include "ffmpeg.h"
#include "stamp.h"

namespace phonesim {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Raw I420 of each picture that goes into the encoder, for comparing with what the PC shows.
class YuvDump {
public:
    bool open(const std::string& path, std::string* error) {
        if (path.empty()) return true;
        file_.reset(std::fopen(path.c_str(), "wb"));
        if (!file_) *error = "cannot write " + path;
        return file_ != nullptr;
    }
    void write(const AVFrame* f) {
        if (!file_) return;
        for (int plane = 0; plane < 3; ++plane) {
            const int w = plane ? (f->width + 1) / 2 : f->width;
            const int h = plane ? (f->height + 1) / 2 : f->height;
            for (int y = 0; y < h; ++y)
                std::fwrite(f->data[plane] + y * f->linesize[plane], 1, w, file_.get());
        }
    }

private:
    FilePtr file_;
};

// Encoder output waiting to become access units.
class EncodedQueue {
public:
    std::vector<EncodedUnit>& pending() { return pending_; }
    bool pop(AccessUnitSplitter* splitter, AccessUnit* au) {
        while (!pending_.empty()) {
            EncodedUnit unit = std::move(pending_.front());
            pending_.erase(pending_.begin());
            if (splitter->split(unit.data.data(), unit.data.size(), unit.key, au)) return true;
        }
        return false;
    }

private:
    std::vector<EncodedUnit> pending_;
};

// The picture half of --sync-marks: all white or all black.
void paintSyncMark(AVFrame* f, bool flash) {
    for (int y = 0; y < f->height; ++y)
        std::memset(f->data[0] + y * f->linesize[0], flash ? 235 : 16, size_t(f->width));
    for (int plane = 1; plane < 3; ++plane)
        for (int y = 0; y < (f->height + 1) / 2; ++y)
            std::memset(f->data[plane] + y * f->linesize[plane], 128, size_t(f->width + 1) / 2);
}

class GeneratedVideo : public VideoSource {
public:
    bool init(const Options& o, std::string* error) {
        options_ = o;
        fps_ = o.fps;
        total_ = std::llround(o.duration * o.fps);
        for (const TimedAction& a : o.actions)
            if (a.action == Action::Rotate) rotateAt_.push_back(std::llround(a.at * o.fps));
        if (o.rotateEvery > 0)
            rotatePeriod_ = std::max<int64_t>(1, std::llround(o.rotateEvery * o.fps));
        return dump_.open(o.dumpYuv, error);
    }

    bool next(AccessUnit* au) override {
        for (;;) {
            if (queue_.pop(&splitter_, au)) return true;
            if (index_ < total_) {
                if (!encodeOne()) return false;
            } else if (!flushed_) {
                flushed_ = true;
                if (!encoder_.flush(&queue_.pending(), &error_)) return false;
            } else {
                return false;
            }
        }
    }

    void restart() override {
        forceKey_ = true;
        splitter_.resendConfig();
    }

private:
    bool portrait(int64_t index) const {
        int64_t flips = rotatePeriod_ > 0 ? index / rotatePeriod_ : 0;
        for (int64_t at : rotateAt_) flips += at <= index ? 1 : 0;
        return flips % 2 == 1;
    }

    bool encodeOne() {
        const bool swap = portrait(index_);
        const int w = swap ? options_.height : options_.width;
        const int h = swap ? options_.width : options_.height;
        if (!encoder_.isOpen() || encoder_.width() != w || encoder_.height() != h) {
            // A phone restarts its encoder when the orientation changes: new parameter sets.
            if (encoder_.isOpen() && !encoder_.flush(&queue_.pending(), &error_)) return false;
            if (!encoder_.open(w, h, options_.fps, options_.bitrateKbps, options_.gop, &error_))
                return false;
            picture_ = allocPicture(w, h);
            if (!picture_) {
                error_ = "out of memory";
                return false;
            }
        }
        paintTestPattern(picture_.get(), index_);
        if (options_.syncMarks)
            paintSyncMark(picture_.get(), index_ % options_.fps < options_.fps / 10);
        if (options_.codeStamp)
            paintStamp(picture_->data[0], picture_->linesize[0], w, h,
                       static_cast<uint32_t>(index_));
        dump_.write(picture_.get());
        ++index_;
        const bool key = forceKey_;
        forceKey_ = false;
        return encoder_.encode(picture_.get(), key, &queue_.pending(), &error_);
    }

    Options options_;
    int64_t total_ = 0;
    int64_t index_ = 0;
    int64_t rotatePeriod_ = 0;
    std::vector<int64_t> rotateAt_;
    bool forceKey_ = false;
    bool flushed_ = false;
    H264Encoder encoder_;
    AvFramePtr picture_;
    AccessUnitSplitter splitter_;
    EncodedQueue queue_;
    YuvDump dump_;
};

// Reads a file's video stream. H.264 goes out as stored (Annex B); anything else is decoded,
// converted to YUV 4:2:0 and encoded again.
class FileVideo : public VideoSource {
public:
    bool init(const Options& o, std::string* error) {
        options_ = o;
        input_ = openInput(o.videoFile, error);
        if (!input_) return false;
        stream_ = av_find_best_stream(input_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (stream_ < 0) {
            *error = o.videoFile + " has no video stream";
            return false;
        }
        AVStream* st = input_->streams[stream_];
        fps_ = o.fps;
        if (!o.fpsGiven && st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0)
            fps_ = av_q2d(st->avg_frame_rate);
        packet_.reset(av_packet_alloc());
        if (st->codecpar->codec_id == AV_CODEC_ID_H264) return initPassThrough(st, error);
        return initTranscode(st, error);
    }

    bool next(AccessUnit* au) override {
        for (;;) {
            if (queue_.pop(&splitter_, au)) return true;
            if (ended_) return false;
            if (!readMore()) return false;
        }
    }

    void restart() override {
        forceKey_ = true;
        splitter_.resendConfig();
    }

private:
    bool initPassThrough(AVStream* st, std::string* error) {
        const AVBitStreamFilter* filter = av_bsf_get_by_name("h264_mp4toannexb");
        AVBSFContext* raw = nullptr;
        if (!filter || av_bsf_alloc(filter, &raw) < 0) {
            *error = "no h264_mp4toannexb filter";
            return false;
        }
        bsf_.reset(raw);
        avcodec_parameters_copy(bsf_->par_in, st->codecpar);
        bsf_->time_base_in = st->time_base;
        const int rc = av_bsf_init(bsf_.get());
        if (rc < 0) {
            *error = "cannot start h264_mp4toannexb: " + avError(rc);
            return false;
        }
        const uint8_t* extra = st->codecpar->extradata;
        const int size = st->codecpar->extradata_size;
        if (size > 4 && extra[0] == 0 && extra[1] == 0) splitter_.setInitialConfig(extra, size);
        if (!options_.dumpYuv.empty())
            std::fprintf(stderr, "note: --dump-yuv writes nothing, %s is sent as stored\n",
                         options_.videoFile.c_str());
        return true;
    }

    bool initTranscode(AVStream* st, std::string* error) {
        const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
        decoder_.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
        if (!decoder_ || avcodec_parameters_to_context(decoder_.get(), st->codecpar) < 0 ||
            avcodec_open2(decoder_.get(), codec, nullptr) < 0) {
            *error = "cannot decode the video of " + options_.videoFile;
            return false;
        }
        const int w = decoder_->width & ~1;
        const int h = decoder_->height & ~1;
        if (w < 16 || h < 16) {
            *error = "the video of " + options_.videoFile + " is too small";
            return false;
        }
        decoded_.reset(av_frame_alloc());
        picture_ = allocPicture(w, h);
        const int fps = std::max(1, static_cast<int>(std::lround(fps_)));
        fps_ = fps;
        return decoded_ && picture_ && dump_.open(options_.dumpYuv, error) &&
               encoder_.open(w, h, fps, options_.bitrateKbps, options_.gop, error);
    }

    // Reads packets until some output is queued or the file ends.
    bool readMore() {
        const int rc = av_read_frame(input_.get(), packet_.get());
        if (rc < 0) {
            ended_ = true;
            return finish();
        }
        AvPacketPtr own(av_packet_clone(packet_.get()));
        av_packet_unref(packet_.get());
        if (own->stream_index != stream_) return true;
        return bsf_ ? filter(own.get()) : transcode(own.get());
    }

    bool finish() {
        if (bsf_) return filter(nullptr);
        if (decoder_) {
            if (!transcode(nullptr)) return false;
            return encoder_.flush(&queue_.pending(), &error_);
        }
        return true;
    }

    bool filter(AVPacket* in) {
        if (av_bsf_send_packet(bsf_.get(), in) < 0) return true;  // skip a packet it refuses
        while (av_bsf_receive_packet(bsf_.get(), packet_.get()) == 0) {
            EncodedUnit unit;
            unit.data.assign(packet_->data, packet_->data + packet_->size);
            unit.key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
            queue_.pending().push_back(std::move(unit));
            av_packet_unref(packet_.get());
        }
        return true;
    }

    bool transcode(AVPacket* in) {
        if (avcodec_send_packet(decoder_.get(), in) < 0 && in) return true;  // damaged packet
        while (avcodec_receive_frame(decoder_.get(), decoded_.get()) == 0) {
            sws_.reset(sws_getCachedContext(sws_.release(), decoded_->width, decoded_->height,
                                            static_cast<AVPixelFormat>(decoded_->format),
                                            picture_->width, picture_->height, AV_PIX_FMT_YUV420P,
                                            SWS_BILINEAR, nullptr, nullptr, nullptr));
            if (!sws_) {
                error_ = "cannot convert the pictures of " + options_.videoFile;
                return false;
            }
            av_frame_make_writable(picture_.get());
            sws_scale(sws_.get(), decoded_->data, decoded_->linesize, 0, decoded_->height,
                      picture_->data, picture_->linesize);
            av_frame_unref(decoded_.get());
            dump_.write(picture_.get());
            const bool key = forceKey_;
            forceKey_ = false;
            if (!encoder_.encode(picture_.get(), key, &queue_.pending(), &error_)) return false;
        }
        return true;
    }

    Options options_;
    AvFormatInputPtr input_;
    int stream_ = -1;
    AvPacketPtr packet_;
    AvBsfPtr bsf_;
    AvCodecContextPtr decoder_;
    AvFramePtr decoded_;
    AvFramePtr picture_;
    SwsPtr sws_;
    H264Encoder encoder_;
    AccessUnitSplitter splitter_;
    EncodedQueue queue_;
    YuvDump dump_;
    bool forceKey_ = false;
    bool ended_ = false;
};

// Everything encoded up front, so that the encoder does not set the pace.
class PreEncodedVideo : public VideoSource {
public:
    bool init(std::unique_ptr<VideoSource> inner, int64_t maxPictures, std::string* error) {
        fps_ = inner->fps();
        AccessUnit au;
        while (static_cast<int64_t>(units_.size()) < maxPictures && inner->next(&au))
            units_.push_back(std::move(au));
        if (!inner->error().empty()) *error = inner->error();
        return inner->error().empty();
    }

    bool next(AccessUnit* au) override {
        if (units_.empty()) return false;
        *au = std::move(units_.front());
        units_.pop_front();
        if (resend_ && au->config.empty()) au->config = lastConfig_;
        resend_ = false;
        if (!au->config.empty()) lastConfig_ = au->config;
        return true;
    }

    void restart() override { resend_ = true; }

private:
    std::deque<AccessUnit> units_;
    Bytes lastConfig_;
    bool resend_ = false;
};

}  // namespace

std::unique_ptr<VideoSource> makeVideoSource(const Options& o, std::string* error) {
    std::unique_ptr<VideoSource> source;
    if (o.videoFile.empty()) {
        auto generated = std::make_unique<GeneratedVideo>();
        if (!generated->init(o, error)) return nullptr;
        source = std::move(generated);
    } else {
        auto file = std::make_unique<FileVideo>();
        if (!file->init(o, error)) return nullptr;
        source = std::move(file);
    }
    if (!o.preEncode) return source;
    const int64_t pictures = std::llround(o.duration * source->fps()) + 1;
    auto pre = std::make_unique<PreEncodedVideo>();
    if (!pre->init(std::move(source), pictures, error)) return nullptr;
    return pre;
}

}  // namespace phonesim
