#include "h264decode.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <memory>

namespace phonesimtest {

namespace {

struct CtxFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

void drain(AVCodecContext* ctx, AVFrame* frame, std::vector<DecodedPicture>* out) {
    while (avcodec_receive_frame(ctx, frame) == 0) {
        DecodedPicture p;
        p.width = frame->width;
        p.height = frame->height;
        p.luma.resize(static_cast<size_t>(p.width) * p.height);
        for (int y = 0; y < p.height; ++y)
            std::copy(frame->data[0] + y * frame->linesize[0],
                      frame->data[0] + y * frame->linesize[0] + p.width,
                      p.luma.begin() + static_cast<long>(y) * p.width);
        out->push_back(std::move(p));
        av_frame_unref(frame);
    }
}

bool hasSlice(const QByteArray& annexB) {
    for (int i = 0; i + 3 < annexB.size(); ++i) {
        if (annexB[i] != 0 || annexB[i + 1] != 0 || annexB[i + 2] != 1) continue;
        const int type = annexB[i + 3] & 0x1f;
        if (type == 1 || type == 5) return true;
    }
    return false;
}

}  // namespace

bool decodeUnits(const std::vector<QByteArray>& units, std::vector<DecodedPicture>* pictures) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    std::unique_ptr<AVCodecContext, CtxFree> ctx(avcodec_alloc_context3(codec));
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    ctx->thread_count = 1;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return false;
    QByteArray pending;
    for (const QByteArray& part : units) {
        // A packet of parameter sets alone yields no picture and is refused; send it with the
        // picture that follows, as a parser would.
        pending += part;
        if (!hasSlice(pending)) continue;
        const QByteArray unit = pending;
        pending.clear();
        if (av_new_packet(packet.get(), unit.size()) < 0) return false;
        std::copy(unit.begin(), unit.end(), packet->data);
        const int rc = avcodec_send_packet(ctx.get(), packet.get());
        av_packet_unref(packet.get());
        if (rc < 0) return false;
        drain(ctx.get(), frame.get(), pictures);
    }
    avcodec_send_packet(ctx.get(), nullptr);
    drain(ctx.get(), frame.get(), pictures);
    return true;
}

}  // namespace phonesimtest
