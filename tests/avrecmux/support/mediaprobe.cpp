#include "mediaprobe.h"

#include <algorithm>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

namespace kivotest {

namespace {

struct InputCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

InputPtr openInput(const std::string& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return nullptr;
    InputPtr in(raw);
    if (avformat_find_stream_info(in.get(), nullptr) < 0) return nullptr;
    return in;
}

// Decodes every packet of the first stream of the given type, calling onFrame per frame.
template <typename F>
bool decodeStream(const std::string& path, AVMediaType type, F onFrame) {
    InputPtr in = openInput(path);
    if (!in) return false;
    int index = av_find_best_stream(in.get(), type, -1, -1, nullptr, 0);
    if (index < 0) return false;
    AVStream* st = in->streams[index];
    const AVCodec* dec = avcodec_find_decoder(st->codecpar->codec_id);
    CodecPtr ctx(avcodec_alloc_context3(dec));
    if (!ctx || avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0 ||
        avcodec_open2(ctx.get(), dec, nullptr) < 0) {
        return false;
    }
    PacketPtr pkt(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    auto receive = [&] {
        while (avcodec_receive_frame(ctx.get(), frame.get()) >= 0) {
            onFrame(frame.get(), st);
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(in.get(), pkt.get()) >= 0) {
        if (pkt->stream_index == index) {
            avcodec_send_packet(ctx.get(), pkt.get());
            receive();
        }
        av_packet_unref(pkt.get());
    }
    avcodec_send_packet(ctx.get(), nullptr);
    receive();
    return true;
}

}  // namespace

double StreamProbe::endSeconds() const {
    if (pts.empty()) return 0;
    size_t last = 0;
    for (size_t i = 1; i < pts.size(); ++i)
        if (pts[i] > pts[last]) last = i;
    return double(pts[last] + durations[last]) * tb_num / tb_den;
}

double StreamProbe::startSeconds() const {
    if (pts.empty()) return 0;
    return double(*std::min_element(pts.begin(), pts.end())) * tb_num / tb_den;
}

const StreamProbe* FileProbe::find(const std::string& type) const {
    for (const StreamProbe& s : streams)
        if (s.type == type) return &s;
    return nullptr;
}

FileProbe probeFile(const std::string& path) {
    FileProbe probe;
    InputPtr in = openInput(path);
    if (!in) return probe;
    probe.format = in->iformat->name;
    if (in->duration != AV_NOPTS_VALUE) probe.duration = double(in->duration) / AV_TIME_BASE;
    const AVDictionaryEntry* tag = nullptr;
    while ((tag = av_dict_get(in->metadata, "", tag, AV_DICT_IGNORE_SUFFIX)))
        probe.tags[tag->key] = tag->value;
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        AVStream* st = in->streams[i];
        StreamProbe s;
        const AVCodecParameters* par = st->codecpar;
        s.type = par->codec_type == AVMEDIA_TYPE_VIDEO   ? "video"
                 : par->codec_type == AVMEDIA_TYPE_AUDIO ? "audio"
                                                         : "other";
        s.codec = avcodec_get_name(par->codec_id);
        s.width = par->width;
        s.height = par->height;
        s.sample_rate = par->sample_rate;
        s.channels = par->ch_layout.nb_channels;
        s.tb_num = st->time_base.num;
        s.tb_den = st->time_base.den;
        if (st->avg_frame_rate.den) s.avg_frame_rate = av_q2d(st->avg_frame_rate);
        probe.streams.push_back(s);
    }
    PacketPtr pkt(av_packet_alloc());
    while (av_read_frame(in.get(), pkt.get()) >= 0) {
        StreamProbe& s = probe.streams[pkt->stream_index];
        s.pts.push_back(pkt->pts);
        s.durations.push_back(pkt->duration);
        s.bytes += pkt->size;
        av_packet_unref(pkt.get());
    }
    probe.ok = true;
    return probe;
}

std::vector<float> decodeAudio(const std::string& path, int* sample_rate) {
    std::vector<float> out;
    decodeStream(path, AVMEDIA_TYPE_AUDIO, [&](AVFrame* f, AVStream*) {
        if (sample_rate) *sample_rate = f->sample_rate;
        for (int i = 0; i < f->nb_samples; ++i) {
            float v = 0;
            switch (f->format) {
                case AV_SAMPLE_FMT_FLTP:
                    v = reinterpret_cast<const float*>(f->extended_data[0])[i];
                    break;
                case AV_SAMPLE_FMT_S16:
                    v = reinterpret_cast<const int16_t*>(f->data[0])[i * f->ch_layout.nb_channels] /
                        32768.0f;
                    break;
                default:
                    break;
            }
            out.push_back(v);
        }
    });
    return out;
}

std::vector<DecodedPicture> decodeVideo(const std::string& path) {
    std::vector<DecodedPicture> out;
    decodeStream(path, AVMEDIA_TYPE_VIDEO, [&](AVFrame* f, AVStream* st) {
        double sum = 0;
        for (int y = 0; y < f->height; ++y)
            for (int x = 0; x < f->width; ++x) sum += f->data[0][y * f->linesize[0] + x];
        int64_t ts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
        out.push_back({double(ts) * av_q2d(st->time_base), sum / (double(f->width) * f->height)});
    });
    return out;
}

}  // namespace kivotest
