// Known pictures and their H.264 encoding (libx264 through libavcodec), shaped like a phone's
// stream: the parameter sets as configuration packets, then one packet per picture, no B-frames.
// Used by the decoder tests and the pipeline benchmark; plain functions, any thread.
#pragma once

#include <cstdint>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

class I420Frame;

namespace h264test {

using Bytes = std::vector<uint8_t>;

// A tightly packed YUV 4:2:0 picture.
struct Picture {
    int width = 0;
    int height = 0;
    Bytes y, u, v;
};

// Picture number index of a moving test pattern: gradients, a moving box, fine stripes.
Picture makePattern(int width, int height, int index);

struct EncodedStream {
    Bytes config;                   // the parameter sets as one block (SPS then PPS)
    std::vector<Bytes> configNals;  // the same, one NAL unit (with start code) per entry
    std::vector<Bytes> pictures;    // one access unit per source picture, in order
    std::vector<Picture> sources;
};

struct EncodeOptions {
    int gop = 30;
    int qp = 18;
    int64_t bitRate = 0;  // bits per second; when set, average bit rate instead of constant qp
    const char* preset = "ultrafast";
};

// Encodes count pattern pictures. Empty pictures on failure (no libx264).
EncodedStream encodeStream(int width, int height, int count,
                           const EncodeOptions& options = EncodeOptions());

// A packet as the network side builds it: configuration packets carry pts AV_NOPTS_VALUE,
// pictures pts 0. The caller owns it.
AVPacket* makePacket(const Bytes& bytes, bool config);

// PSNR in dB over the three planes of the visible picture (99 for identical pictures).
double psnr(const Picture& source, const I420Frame& frame);
double psnr(const Picture& source, const AVFrame* frame);

}  // namespace h264test
