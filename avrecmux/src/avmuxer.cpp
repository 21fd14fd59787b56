#include "avrecmux/avmuxer.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
}

#include "audioio.h"
#include "ffptr.h"
#include "imagescaler.h"
#include "kivobridge/log.h"

namespace kivo {
namespace muxer {

namespace {

constexpr AVRational kMicroseconds{1, 1000000};

int64_t bridge_clock() {
    bg::Interface* cd = bg::CD;
    return cd ? cd->utility()->clock() : av_gettime_relative();
}

// A negative time asks for the bridge clock, counted from the first time stamped that way.
int64_t stamp_unset_time(int64_t usec, int64_t* origin) {
    if (usec >= 0) return usec;
    const int64_t now = bridge_clock();
    if (*origin < 0) *origin = now;
    return now - *origin;
}

// Splits "k:v;k:v" into container tags; pieces without ':' are skipped.
void set_metadata(AVFormatContext* oc, const char* metadata) {
    std::string all(metadata);
    size_t pos = 0;
    while (pos <= all.size()) {
        size_t end = all.find(';', pos);
        if (end == std::string::npos) end = all.size();
        std::string piece = all.substr(pos, end - pos);
        pos = end + 1;
        size_t colon = piece.find(':');
        if (piece.empty() || colon == std::string::npos) continue;
        std::string key = piece.substr(0, colon);
        std::string value = piece.substr(colon + 1);
        printf("%s ---> %s\n", key.c_str(), value.c_str());
        av_dict_set(&oc->metadata, key.c_str(), value.c_str(), 0);
    }
    fflush(stdout);
}

// True when the planes described by pitch and dlen fit in size bytes for a picture of
// width x height in pixel format fmt.
bool picture_fits(int fmt, int size, int width, int height, const uint32_t* pitch,
                  const uint32_t* dlen) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(fmt));
    if (!desc || width <= 0 || height <= 0 || size <= 0 || !pitch || !dlen) return false;
    // Palettes and hardware surfaces carry data the plane description cannot bound.
    if (desc->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM)) {
        return false;
    }
    int planes = av_pix_fmt_count_planes(static_cast<AVPixelFormat>(fmt));
    if (planes < 1 || planes > 3) return false;
    int min_linesize[4] = {0};
    if (av_image_fill_linesizes(min_linesize, static_cast<AVPixelFormat>(fmt), width) < 0) {
        return false;
    }
    uint64_t total = 0;
    for (int i = 0; i < 3; ++i) total += dlen[i];
    if (total > static_cast<uint64_t>(size)) return false;
    for (int i = 0; i < planes; ++i) {
        bool chroma = (i == 1 || i == 2);
        uint64_t rows = chroma ? AV_CEIL_RSHIFT(height, desc->log2_chroma_h) : height;
        if (pitch[i] < static_cast<uint32_t>(min_linesize[i])) return false;
        if (uint64_t(pitch[i]) * (rows - 1) + uint64_t(min_linesize[i]) > dlen[i]) return false;
    }
    return true;
}

}  // namespace

AVMuxer::AVMuxer() : audio_io_(new AudioIO()), scaler_(new ImageScaler()) {}

AVMuxer::~AVMuxer() {
    stop();
    delete audio_io_;
    delete scaler_;
}

bool AVMuxer::start(const MVSettings* settings) {
    origin_usec_ = -1;
    if (!settings) return false;
    if (oc_) return false;  // one file at a time
    if (settings->frame_rate <= 0 || settings->width <= 0 || settings->height <= 0 ||
        settings->sample_rate <= 0 || !settings->file_name) {
        fprintf(stderr, "Invalid recording settings\n");
        return false;
    }
    const AVOutputFormat* fmt = av_guess_format(nullptr, settings->file_name, nullptr);
    if (!fmt) {
        fprintf(stderr, "Could not find suitable output format\n");
        return false;
    }
    oc_ = avformat_alloc_context();
    if (!oc_) return false;
    oc_->oformat = fmt;
    oc_->url = av_strdup(settings->file_name);
    header_written_ = false;
    failed_ = false;
    video_frames_written_ = 0;
    audio_samples_encoded_ = 0;
    last_video_pts_ = -1;

    bool ok = true;
    if (fmt->video_codec != AV_CODEC_ID_NONE && !settings->disable_video) {
        ok = add_stream(oc_, settings, &video_, fmt->video_codec);
    }
    if (ok && fmt->audio_codec != AV_CODEC_ID_NONE && !settings->disable_audio) {
        ok = add_stream(oc_, settings, &audio_, fmt->audio_codec);
    }
    if (ok && video_.enc) ok = open_video(&video_);
    if (ok && audio_.enc) {
        ok = open_audio(&audio_);
        if (ok) {
            audio_io_->set_output(audio_.enc->sample_fmt, audio_.enc->ch_layout.nb_channels,
                                  audio_.enc->sample_rate);
        }
    }
    if (!ok) {
        stop();
        return false;
    }

    if (!(fmt->flags & AVFMT_NOFILE)) {
        int ret = avio_open(&oc_->pb, settings->file_name, AVIO_FLAG_WRITE);
        if (ret < 0) {
            fprintf(stderr, "Could not open '%s': %s\n", settings->file_name,
                    av_error_text(ret).c_str());
            stop();
            return false;
        }
    }
    if (settings->metadata) set_metadata(oc_, settings->metadata);

    // Fragmented MP4 (a fragment per key frame, at most about a second): a crash, a kill or a full
    // disk leaves every fragment written so far playable, where a plain MP4 gets its index only
    // at the very end. The index goes out with the first fragment (delay_moov), not before any
    // packet, so a stream that starts late keeps its offset. Each packet is flushed so a fragment
    // reaches the file as soon as it is complete.
    AVDictionary* opts = nullptr;
    if (strcmp(fmt->name, "mp4") == 0 || strcmp(fmt->name, "mov") == 0) {
        av_dict_set(&opts, "movflags", "frag_keyframe+delay_moov+default_base_moof", 0);
        av_dict_set(&opts, "frag_duration", "1000000", 0);
        oc_->flush_packets = 1;
    }
    int ret = avformat_write_header(oc_, &opts);
    av_dict_free(&opts);
    if (ret < 0) {
        fprintf(stderr, "Error occurred when opening output file: %s\n",
                av_error_text(ret).c_str());
        stop();
        return false;
    }
    header_written_ = true;
    settings_ = *settings;
    return true;
}

bool AVMuxer::add_stream(AVFormatContext* oc, const MVSettings* settings, FFStream* ost,
                         int codec_id) {
    const auto id = static_cast<AVCodecID>(codec_id);
    ost->codec = avcodec_find_encoder(id);
    if (!ost->codec) {
        fprintf(stderr, "Could not find encoder for '%s'\n", avcodec_get_name(id));
        return false;
    }
    ost->st = avformat_new_stream(oc, nullptr);
    ost->enc = ost->st ? avcodec_alloc_context3(ost->codec) : nullptr;
    if (!ost->st || !ost->enc) {
        fprintf(stderr, "Could not alloc stream\n");
        return false;
    }
    ost->st->id = static_cast<int>(oc->nb_streams) - 1;
    AVCodecContext* c = ost->enc;
    c->codec_id = id;
    if (ost->codec->type == AVMEDIA_TYPE_VIDEO) {
        c->codec_type = AVMEDIA_TYPE_VIDEO;
        c->bit_rate = int64_t(settings->video_bitrate_kbps) * 1000;
        c->width = settings->width;
        c->height = settings->height;
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->time_base = AVRational{1, settings->frame_rate};
        c->framerate = AVRational{settings->frame_rate, 1};
        ost->st->time_base = c->time_base;
        c->gop_size = settings->gop_size;
        c->max_b_frames = 0;
        c->qmin = 10;
        c->qmax = 51;
        c->qcompress = 0.6f;
    } else {
        c->codec_type = AVMEDIA_TYPE_AUDIO;
        c->bit_rate = int64_t(settings->audio_bitrate_kbps) * 1000;
        c->sample_rate = settings->sample_rate;
        c->time_base = AVRational{1, settings->sample_rate};
        ost->st->time_base = c->time_base;
        AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
        av_channel_layout_copy(&c->ch_layout, &stereo);
        c->sample_fmt = ost->codec->sample_fmts ? ost->codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
        c->strict_std_compliance = -2;
    }
    if (oc->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    return true;
}

bool AVMuxer::open_video(FFStream* ost) {
    AVDictionary* opts = nullptr;
    if (ost->enc->codec_id == AV_CODEC_ID_H264) {
        av_dict_set(&opts, "preset", "fast", 0);
        av_dict_set(&opts, "tune", "zerolatency", 0);
    }
    int ret = avcodec_open2(ost->enc, ost->codec, &opts);
    av_dict_free(&opts);
    if (ret < 0 || avcodec_parameters_from_context(ost->st->codecpar, ost->enc) < 0) {
        fprintf(stderr, "could not open codec\n");
        return false;
    }
    return true;
}

bool AVMuxer::open_audio(FFStream* ost) {
    if (avcodec_open2(ost->enc, ost->codec, nullptr) < 0 ||
        avcodec_parameters_from_context(ost->st->codecpar, ost->enc) < 0) {
        printf("Could not open audio codec \n");
        fflush(stdout);
        return false;
    }
    return true;
}

bool AVMuxer::stop() {
    if (!oc_) return false;
    AVFormatContext* oc = oc_;
    FFStream video = video_;
    FFStream audio = audio_;
    oc_ = nullptr;
    video_ = FFStream();
    audio_ = FFStream();

    bool ok = header_written_;
    if (header_written_) {
        if (video.enc && (video.codec->capabilities & AV_CODEC_CAP_DELAY)) {
            while (flush_stream(&video, oc) == 0) {
            }
        }
        if (audio.enc && (audio.codec->capabilities & AV_CODEC_CAP_DELAY)) {
            while (flush_stream(&audio, oc) == 0) {
            }
        }
        const int ret = av_write_trailer(oc);
        if (ret < 0) note_write_error(ret, "trailer");
    }
    header_written_ = false;
    avcodec_free_context(&video.enc);
    avcodec_free_context(&audio.enc);
    if (!(oc->oformat->flags & AVFMT_NOFILE) && oc->pb) {
        // avio_closep() does not report a failed final flush; ask before closing.
        avio_flush(oc->pb);
        if (oc->pb->error < 0) note_write_error(oc->pb->error, "flush");
        const int ret = avio_closep(&oc->pb);
        if (ret < 0) note_write_error(ret, "close");
    }
    avformat_free_context(oc);
    return ok && !failed_;
}

void AVMuxer::note_write_error(int err, const char* what) {
    if (!failed_) LOGE("--- 录制文件写入失败 (%s): %s", what, av_error_text(err).c_str());
    failed_ = true;
}

int AVMuxer::write_yuv420(const uint8_t* data, int size, int width, int height,
                          const uint32_t* pitch, const uint32_t* dlen, int64_t usec) {
    if (!oc_) {
        LOGE("--编码器未初始化--(yuv)");
        return -1;
    }
    if (settings_.disable_video || !video_.enc) return -1;
    if (failed_) return -4;
    if (!data || !picture_fits(settings_.input_pixel_format, size, width, height, pitch, dlen)) {
        LOGE("--- 画面参数无效: size=%d (%dx%d)", size, width, height);
        return -3;
    }
    usec = stamp_unset_time(usec, &origin_usec_);
    const int64_t pts = av_rescale_q(usec, kMicroseconds, video_.enc->time_base);
    if (last_video_pts_ != -1 && pts <= last_video_pts_) {
        LOGD("丢弃重复画面帧, pts: last=%lld, this=%lld", (long long)last_video_pts_,
             (long long)pts);
        return 0;
    }
    if (last_video_pts_ == -1) last_video_pts_ = pts;

    scaler_->init(width, height, settings_.input_pixel_format, settings_.width, settings_.height,
                  AV_PIX_FMT_YUV420P);

    // Padded so the scaler's vector loads never read past the end.
    const size_t need = size_t(size) + AV_INPUT_BUFFER_PADDING_SIZE;
    if (staging_.size() < need) {
        try {
            staging_.resize(need);
        } catch (const std::bad_alloc&) {
            staging_.clear();
            staging_.shrink_to_fit();
            LOGE("-- 内存申请失败： need=%d", size);
            return -2;
        }
    }
    memcpy(staging_.data(), data, size_t(size));
    last_video_pts_ = pts;

    AvFramePtr in(av_frame_alloc());
    if (!in) return -2;
    in->width = width;
    in->height = height;
    in->format = settings_.input_pixel_format;
    in->pts = pts;
    uint8_t* buf = staging_.data();
    in->data[0] = buf;
    in->data[1] = buf + dlen[0];
    in->data[2] = buf + dlen[0] + dlen[1];
    for (int i = 0; i < 3; ++i) in->linesize[i] = static_cast<int>(pitch[i]);
    LOGD("---> yuv.pts = %lld  (%dx%d)", (long long)pts, width, height);

    AVFrame* scaled = nullptr;
    scaler_->scale(in.get(), &scaled);
    if (scaled->width != video_.enc->width || scaled->height != video_.enc->height ||
        scaled->format != video_.enc->pix_fmt) {
        LOGE("--- 画面无法转换: (%dx%d,%d)", width, height, settings_.input_pixel_format);
        return 1;
    }
    return encode_video_frame(av_frame_clone(scaled), oc_, video_.st);
}

int AVMuxer::write_pcm(const uint8_t* data, int nbytes, int sample_rate, int channels,
                       int bits_per_sample, int64_t usec) {
    if (!oc_) {
        LOGE("--编码器未初始化--(pcm)");
        return -1;
    }
    if (bits_per_sample < 8) {
        LOGE("--- 音频样本 bitsPerSample 不能小于8");
        return -2;
    }
    if (settings_.disable_audio || !audio_.enc) return -1;
    if (failed_) return -4;
    AVSampleFormat fmt = AV_SAMPLE_FMT_NONE;
    if (bits_per_sample == 8) fmt = AV_SAMPLE_FMT_U8;
    if (bits_per_sample == 16) fmt = AV_SAMPLE_FMT_S16;
    if (bits_per_sample == 32) fmt = AV_SAMPLE_FMT_FLT;
    if (fmt == AV_SAMPLE_FMT_NONE || !data || nbytes <= 0 || channels < 1 || channels > 64 ||
        sample_rate <= 0) {
        LOGE("--- 音频参数无效: n=%d, freq=%d, ch=%d, bps=%d", nbytes, sample_rate, channels,
             bits_per_sample);
        return -3;
    }
    usec = stamp_unset_time(usec, &origin_usec_);
    const int64_t pts = av_rescale_q(usec, kMicroseconds, audio_.enc->time_base);
    LOGD("---> pcm.pts = %lld  ", (long long)pts);

    AvFramePtr frame(av_frame_alloc());
    if (!frame) return 0;
    frame->sample_rate = sample_rate;
    av_channel_layout_default(&frame->ch_layout, channels);
    frame->nb_samples = nbytes / ((bits_per_sample / 8) * channels);
    frame->format = fmt;
    frame->pts = pts;
    if (frame->nb_samples > 0) {
        const int used = frame->nb_samples * (bits_per_sample / 8) * channels;
        if (avcodec_fill_audio_frame(frame.get(), channels, fmt, data, used, 1) >= 0) {
            audio_io_->push(frame.get());
        }
    }
    frame.reset();

    const int frame_size = audio_.enc->frame_size > 0 ? audio_.enc->frame_size : 1024;
    while (AVFrame* out = audio_io_->get(frame_size)) {
        encode_audio_frame(out, oc_, audio_.st);
    }
    return 0;
}

int AVMuxer::write_video_frame(AVFrame* frame) {
    if (!oc_ || settings_.disable_video || !video_.enc) {
        av_frame_free(&frame);
        return -1;
    }
    return encode_video_frame(frame, oc_, video_.st);
}

int AVMuxer::write_audio_frame(AVFrame* frame) {
    if (!oc_ || settings_.disable_audio || !audio_.enc) {
        av_frame_free(&frame);
        return -1;
    }
    return encode_audio_frame(frame, oc_, audio_.st);
}

void AVMuxer::init_packet(AVPacket* pkt) {
    av_packet_unref(pkt);
    pkt->data = nullptr;
    pkt->size = 0;
}

int AVMuxer::encode_video_frame(AVFrame* frame, AVFormatContext* oc, AVStream* st) {
    AvFramePtr owned(frame);
    if (origin_usec_ < 0) origin_usec_ = bridge_clock();
    if (!video_.enc) return 1;
    if (avcodec_send_frame(video_.enc, frame) < 0) return 1;
    return drain(&video_, oc, st);
}

int AVMuxer::encode_audio_frame(AVFrame* frame, AVFormatContext* oc, AVStream* st) {
    AvFramePtr owned(frame);
    if (origin_usec_ < 0) origin_usec_ = bridge_clock();
    if (!audio_.enc) return 1;
    if (avcodec_send_frame(audio_.enc, frame) < 0) return 1;
    return drain(&audio_, oc, st);
}

int AVMuxer::flush_stream(FFStream* ost, AVFormatContext* oc) {
    if (!ost->flushing) {
        ost->flushing = true;
        avcodec_send_frame(ost->enc, nullptr);
    }
    return drain(ost, oc, ost->st);
}

int AVMuxer::drain(FFStream* ost, AVFormatContext* oc, AVStream* st) {
    AvPacketPtr pkt(av_packet_alloc());
    if (!pkt) return 1;
    int result = 1;
    AVCodecContext* enc = ost->enc;
    const bool audio = enc->codec_type == AVMEDIA_TYPE_AUDIO;
    while (avcodec_receive_packet(enc, pkt.get()) >= 0) {
        if (audio) {
            // The audio timeline is the count of encoded samples, whatever the chunks carried.
            const int64_t n = enc->frame_size > 0 ? enc->frame_size : pkt->duration;
            pkt->pts = pkt->dts = audio_samples_encoded_;
            pkt->duration = n;
            audio_samples_encoded_ += n;
            av_packet_rescale_ts(pkt.get(), AVRational{1, enc->sample_rate}, st->time_base);
        } else {
            // Without a duration the container's edit list ends before the last picture.
            if (pkt->duration <= 0) pkt->duration = 1;
            av_packet_rescale_ts(pkt.get(), enc->time_base, st->time_base);
        }
        pkt->stream_index = st->index;
        const int ret = av_interleaved_write_frame(oc, pkt.get());
        if (ret == 0) {
            if (!audio) ++video_frames_written_;
            result = 0;
        } else if (oc->pb && oc->pb->error < 0) {
            // The file itself failed (disk full, device gone): the recording ends here. Other
            // errors belong to the one packet and are absorbed.
            note_write_error(oc->pb->error, "packet");
        }
        av_packet_unref(pkt.get());
    }
    return result;
}

int AVMuxer::microseconds_for_pcm_nbytes(int nbytes, int channels, int sample_rate,
                                         int bits_per_sample) {
    const int frame_bytes = (channels * bits_per_sample) / 8;
    if (frame_bytes <= 0 || sample_rate <= 0) return 0;
    return static_cast<int>(
        av_rescale_q(nbytes / frame_bytes, AVRational{1, sample_rate}, kMicroseconds));
}

int AVMuxer::nbytes_pcm_for_microseconds(int64_t usec, int channels, int sample_rate,
                                         int bits_per_sample) {
    if (sample_rate <= 0) return 0;
    return static_cast<int>((bits_per_sample / 8) *
                            av_rescale_q(usec, kMicroseconds, AVRational{1, sample_rate}) *
                            channels);
}

}  // namespace muxer
}  // namespace kivo
