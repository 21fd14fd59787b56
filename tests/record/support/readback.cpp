#include "readback.h"

#include <QColor>
#include <QPainter>

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace recordtest {
namespace {

struct FormatCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;

CodecPtr openDecoder(const AVStream* st) {
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) return nullptr;
    CodecPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx || avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0 ||
        avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return nullptr;
    return ctx;
}

LumaPicture lumaOf(const AVFrame* f) {
    LumaPicture p;
    p.width = f->width;
    p.height = f->height;
    p.y.resize(static_cast<size_t>(p.width) * p.height);
    for (int row = 0; row < p.height; ++row)
        std::copy_n(f->data[0] + static_cast<ptrdiff_t>(row) * f->linesize[0], p.width,
                    p.y.begin() + static_cast<ptrdiff_t>(row) * p.width);
    return p;
}

void drain(AVCodecContext* ctx, AVFrame* frame, bool video, Recording* rec) {
    while (avcodec_receive_frame(ctx, frame) == 0) {
        if (video) {
            if (rec->videoFrames == 0) rec->first = lumaOf(frame);
            ++rec->videoFrames;
            rec->last = lumaOf(frame);
        } else {
            rec->audioSamples += frame->nb_samples;
        }
        av_frame_unref(frame);
    }
}

}  // namespace

double LumaPicture::mean(int x0, int y0, int size) const {
    double sum = 0;
    int n = 0;
    for (int yy = y0; yy < y0 + size && yy < height; ++yy)
        for (int xx = x0; xx < x0 + size && xx < width; ++xx, ++n)
            sum += y[static_cast<size_t>(yy) * width + xx];
    return n ? sum / n : -1;
}

Recording readRecording(const QString& path) {
    Recording rec;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.toUtf8().constData(), nullptr, nullptr) < 0) return rec;
    FormatPtr fmt(raw);
    if (avformat_find_stream_info(fmt.get(), nullptr) < 0) return rec;
    rec.opened = true;

    const int vi = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int ai = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    CodecPtr vdec, adec;
    if (vi >= 0) {
        rec.width = fmt->streams[vi]->codecpar->width;
        rec.height = fmt->streams[vi]->codecpar->height;
        vdec = openDecoder(fmt->streams[vi]);
    }
    if (ai >= 0) {
        rec.sampleRate = fmt->streams[ai]->codecpar->sample_rate;
        rec.channels = fmt->streams[ai]->codecpar->ch_layout.nb_channels;
        adec = openDecoder(fmt->streams[ai]);
    }

    PacketPtr pkt(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    while (av_read_frame(fmt.get(), pkt.get()) >= 0) {
        AVCodecContext* ctx = nullptr;
        if (pkt->stream_index == vi) ctx = vdec.get();
        if (pkt->stream_index == ai) ctx = adec.get();
        if (ctx && avcodec_send_packet(ctx, pkt.get()) == 0)
            drain(ctx, frame.get(), ctx == vdec.get(), &rec);
        av_packet_unref(pkt.get());
    }
    for (AVCodecContext* ctx : {vdec.get(), adec.get()}) {
        if (!ctx) continue;
        avcodec_send_packet(ctx, nullptr);
        drain(ctx, frame.get(), ctx == vdec.get(), &rec);
    }
    return rec;
}

double cornerLuma(const LumaPicture& p, Corner corner, int size) {
    const int inset = size / 4;
    const int box = size / 2;
    const bool right = corner == Corner::TopRight || corner == Corner::BottomRight;
    const bool bottom = corner == Corner::BottomLeft || corner == Corner::BottomRight;
    const int x = right ? p.width - inset - box : inset;
    const int y = bottom ? p.height - inset - box : inset;
    return p.mean(x, y, box);
}

int markerSize(int width, int height) {
    return std::min(width, height) / 4;
}

QImage markedPicture(int width, int height) {
    QImage img(width, height, QImage::Format_RGBA8888);
    img.fill(Qt::black);
    const int s = markerSize(width, height);
    QPainter painter(&img);
    painter.fillRect(0, 0, s, s, QColor(255, 255, 255));
    painter.fillRect(width - s, 0, s, s, QColor(128, 128, 128));
    return img;
}

QImage greyPicture(int width, int height, int grey) {
    QImage img(width, height, QImage::Format_RGBA8888);
    img.fill(QColor(grey, grey, grey));
    return img;
}

}  // namespace recordtest
