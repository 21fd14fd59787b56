#include "encoder.h"

#include <algorithm>

extern "C" {
#include <libavutil/opt.h>
}

namespace phonesim {

bool H264Encoder::open(int width, int height, int fps, int bitrateKbps, int gop,
                       std::string* error) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
        *error = "this FFmpeg has no libx264 encoder";
        return false;
    }
    AvCodecContextPtr ctx(avcodec_alloc_context3(codec));
    AvPacketPtr packet(av_packet_alloc());
    if (!ctx || !packet) {
        *error = "out of memory";
        return false;
    }
    ctx->width = width;
    ctx->height = height;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, fps};
    ctx->framerate = AVRational{fps, 1};
    ctx->bit_rate = int64_t{bitrateKbps} * 1000;
    ctx->gop_size = gop;
    ctx->max_b_frames = 0;
    ctx->thread_count = 1;
    av_opt_set(ctx->priv_data, "preset", "veryfast", 0);
    av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
    av_opt_set(ctx->priv_data, "profile", "baseline", 0);
    // Fixed key frame spacing, as a phone's hardware encoder does.
    av_opt_set(ctx->priv_data, "x264-params", "scenecut=0", 0);
    const int rc = avcodec_open2(ctx.get(), codec, nullptr);
    if (rc < 0) {
        *error = "cannot open the H.264 encoder: " + avError(rc);
        return false;
    }
    ctx_ = std::move(ctx);
    packet_ = std::move(packet);
    width_ = width;
    height_ = height;
    pts_ = 0;
    return true;
}

bool H264Encoder::encode(AVFrame* picture, bool forceKey, std::vector<EncodedUnit>* out,
                         std::string* error) {
    picture->pts = pts_++;
    picture->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    const int rc = avcodec_send_frame(ctx_.get(), picture);
    if (rc < 0) {
        *error = "encoding failed: " + avError(rc);
        return false;
    }
    return drain(out, error);
}

bool H264Encoder::flush(std::vector<EncodedUnit>* out, std::string* error) {
    if (!ctx_) return true;
    const int rc = avcodec_send_frame(ctx_.get(), nullptr);
    if (rc < 0 && rc != AVERROR_EOF) {
        *error = "encoder flush failed: " + avError(rc);
        return false;
    }
    return drain(out, error);
}

bool H264Encoder::drain(std::vector<EncodedUnit>* out, std::string* error) {
    for (;;) {
        const int rc = avcodec_receive_packet(ctx_.get(), packet_.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) {
            *error = "encoding failed: " + avError(rc);
            return false;
        }
        EncodedUnit unit;
        unit.data.assign(packet_->data, packet_->data + packet_->size);
        unit.key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
        out->push_back(std::move(unit));
        av_packet_unref(packet_.get());
    }
}

AvFramePtr allocPicture(int width, int height) {
    AvFramePtr frame(av_frame_alloc());
    if (!frame) return nullptr;
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
    return frame;
}

void paintTestPattern(AVFrame* f, int64_t index) {
    // Y, U, V of white, yellow, cyan, green, magenta, red, blue, black.
    static const uint8_t bars[8][3] = {{235, 128, 128}, {210, 16, 146},  {170, 166, 16},
                                       {145, 54, 34},   {106, 202, 222}, {81, 90, 240},
                                       {41, 240, 110},  {16, 128, 128}};
    const int w = f->width;
    const int h = f->height;
    av_frame_make_writable(f);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = f->data[0] + y * f->linesize[0];
        for (int x = 0; x < w; ++x) row[x] = bars[x * 8 / w][0];
    }
    for (int y = 0; y < (h + 1) / 2; ++y) {
        uint8_t* u = f->data[1] + y * f->linesize[1];
        uint8_t* v = f->data[2] + y * f->linesize[2];
        for (int x = 0; x < (w + 1) / 2; ++x) {
            u[x] = bars[x * 2 * 8 / w][1];
            v[x] = bars[x * 2 * 8 / w][2];
        }
    }
    // A grey box sliding across the middle, one box width every second at 30 fps.
    const int box = std::max(8, std::min(w, h) / 6) & ~1;
    const int span = std::max(1, w - box);
    const int bx = static_cast<int>((index * box / 30) % span) & ~1;
    const int by = (h - box) / 2 & ~1;
    for (int y = by; y < by + box && y < h; ++y)
        for (int x = bx; x < bx + box && x < w; ++x) f->data[0][y * f->linesize[0] + x] = 128;
    // Picture number, 16 bits, black or white cells along the bottom.
    const int cell = std::max(2, w / 16) & ~1;
    const int cellH = std::min(h, std::max(2, h / 20)) & ~1;
    for (int bit = 0; bit < 16 && (bit + 1) * cell <= w; ++bit) {
        const uint8_t luma = (index >> (15 - bit)) & 1 ? 235 : 16;
        for (int y = h - cellH; y < h; ++y)
            for (int x = bit * cell; x < (bit + 1) * cell; ++x)
                f->data[0][y * f->linesize[0] + x] = luma;
        for (int y = (h - cellH) / 2; y < (h + 1) / 2; ++y)
            for (int x = bit * cell / 2; x < (bit + 1) * cell / 2; ++x) {
                f->data[1][y * f->linesize[1] + x] = 128;
                f->data[2][y * f->linesize[2] + x] = 128;
            }
    }
}

}  // namespace phonesim
