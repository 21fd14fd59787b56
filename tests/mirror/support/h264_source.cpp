#include "h264_source.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

extern "C" {
#include <libavutil/opt.h>
}

#include "mirror/videoframe.h"

namespace h264test {

namespace {

struct ContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// Splits an Annex B block at its start codes; each piece keeps its own start code.
std::vector<Bytes> splitNals(const uint8_t* data, size_t size) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            starts.push_back(i > 0 && data[i - 1] == 0 ? i - 1 : i);
            i += 2;
        }
    }
    std::vector<Bytes> nals;
    for (size_t k = 0; k < starts.size(); ++k) {
        const size_t end = k + 1 < starts.size() ? starts[k + 1] : size;
        nals.emplace_back(data + starts[k], data + end);
    }
    return nals;
}

double planeError(const uint8_t* a, int strideA, const uint8_t* b, int strideB, int w, int h,
                  double* samples) {
    double sum = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double d = double(a[y * strideA + x]) - double(b[y * strideB + x]);
            sum += d * d;
        }
    }
    *samples += double(w) * h;
    return sum;
}

double toPsnr(double squaredError, double samples) {
    if (squaredError <= 0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * samples / squaredError);
}

// Deterministic grain in 0..24, like sensor noise on a camera picture.
int texture(int x, int y) {
    uint32_t h = uint32_t(x) * 374761393u + uint32_t(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return int((h >> 16) % 25);
}

}  // namespace

Picture makePattern(int width, int height, int index) {
    Picture p;
    p.width = width;
    p.height = height;
    const int cw = (width + 1) / 2;
    const int ch = (height + 1) / 2;
    p.y.resize(size_t(width) * height);
    p.u.resize(size_t(cw) * ch);
    p.v.resize(size_t(cw) * ch);
    const int box = std::max(8, height / 6);
    const int bx = (index * 7) % std::max(1, width - box);
    const int by = (index * 3) % std::max(1, height - box);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int value = 16 + (x * 160) / width + (y * 60) / height;
            if (x >= bx && x < bx + box && y >= by && y < by + box) value = 235 - (index % 40);
            if (y < height / 8 && ((x / 4) % 2) == 0) value = 200;                  // fine stripes
            value += (texture(x + index * 2, y) - 12) / (y >= height / 2 ? 1 : 3);  // grain
            p.y[size_t(y) * width + x] = uint8_t(std::min(255, std::max(0, value)));
        }
    }
    for (int y = 0; y < ch; ++y) {
        for (int x = 0; x < cw; ++x) {
            p.u[size_t(y) * cw + x] = uint8_t(64 + (x * 128) / cw);
            p.v[size_t(y) * cw + x] = uint8_t(64 + ((y + index) % ch) * 128 / ch);
        }
    }
    return p;
}

EncodedStream encodeStream(int width, int height, int count, const EncodeOptions& options) {
    EncodedStream out;
    av_log_set_level(AV_LOG_WARNING);  // no encoder statistics in the output
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) return out;
    std::unique_ptr<AVCodecContext, ContextDeleter> ctx(avcodec_alloc_context3(codec));
    if (!ctx) return out;
    ctx->width = width;
    ctx->height = height;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, 30};
    ctx->framerate = AVRational{30, 1};
    ctx->gop_size = options.gop;
    ctx->max_b_frames = 0;
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(ctx->priv_data, "preset", options.preset, 0);
    av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
    if (options.bitRate > 0) {
        ctx->bit_rate = options.bitRate;
        ctx->rc_max_rate = options.bitRate;
        ctx->rc_buffer_size = int(options.bitRate);  // one second, as phone encoders do
    } else {
        av_opt_set_int(ctx->priv_data, "qp", options.qp, 0);
    }
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return out;
    out.config.assign(ctx->extradata, ctx->extradata + ctx->extradata_size);
    out.configNals = splitNals(out.config.data(), out.config.size());

    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    frame->width = width;
    frame->height = height;
    frame->format = AV_PIX_FMT_YUV420P;
    if (av_frame_get_buffer(frame.get(), 0) < 0) return out;

    auto drain = [&]() {
        while (avcodec_receive_packet(ctx.get(), packet.get()) == 0) {
            out.pictures.emplace_back(packet->data, packet->data + packet->size);
            av_packet_unref(packet.get());
        }
    };
    for (int i = 0; i < count; ++i) {
        Picture pic = makePattern(width, height, i);
        if (av_frame_make_writable(frame.get()) < 0) return EncodedStream();
        const int cw = (width + 1) / 2;
        for (int y = 0; y < height; ++y)
            std::memcpy(frame->data[0] + y * frame->linesize[0], &pic.y[size_t(y) * width], width);
        for (int y = 0; y < (height + 1) / 2; ++y) {
            std::memcpy(frame->data[1] + y * frame->linesize[1], &pic.u[size_t(y) * cw], cw);
            std::memcpy(frame->data[2] + y * frame->linesize[2], &pic.v[size_t(y) * cw], cw);
        }
        frame->pts = i;
        if (avcodec_send_frame(ctx.get(), frame.get()) < 0) return EncodedStream();
        drain();
        out.sources.push_back(std::move(pic));
    }
    avcodec_send_frame(ctx.get(), nullptr);
    drain();
    if (out.pictures.size() != out.sources.size()) return EncodedStream();
    return out;
}

AVPacket* makePacket(const Bytes& bytes, bool config) {
    AVPacket* packet = av_packet_alloc();
    if (!packet) return nullptr;
    if (av_new_packet(packet, int(bytes.size())) < 0) {
        av_packet_free(&packet);
        return nullptr;
    }
    if (!bytes.empty()) std::memcpy(packet->data, bytes.data(), bytes.size());
    packet->pts = config ? AV_NOPTS_VALUE : 0;
    return packet;
}

double psnr(const Picture& s, const I420Frame& f) {
    if (f.width() != s.width || f.height() != s.height) return 0;
    const int cw = (s.width + 1) / 2, ch = (s.height + 1) / 2;
    double n = 0;
    double e = planeError(s.y.data(), s.width, f.dataY(), f.strideY(), s.width, s.height, &n);
    e += planeError(s.u.data(), cw, f.dataU(), f.strideU(), cw, ch, &n);
    e += planeError(s.v.data(), cw, f.dataV(), f.strideV(), cw, ch, &n);
    return toPsnr(e, n);
}

double psnr(const Picture& s, const AVFrame* f) {
    if (!f || f->width != s.width || f->height != s.height) return 0;
    const int cw = (s.width + 1) / 2, ch = (s.height + 1) / 2;
    double n = 0;
    double e = planeError(s.y.data(), s.width, f->data[0], f->linesize[0], s.width, s.height, &n);
    e += planeError(s.u.data(), cw, f->data[1], f->linesize[1], cw, ch, &n);
    e += planeError(s.v.data(), cw, f->data[2], f->linesize[2], cw, ch, &n);
    return toPsnr(e, n);
}

}  // namespace h264test
