// H.264 encoder for generated or re-encoded pictures: libx264 through libavcodec, no B-frames,
// zero latency, so every picture comes out as one access unit right away.
// Thread rules: one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ffmpeg.h"

namespace phonesim {

struct EncodedUnit {
    std::vector<uint8_t> data;  // Annex B
    bool key = false;
};

class H264Encoder {
public:
    bool open(int width, int height, int fps, int bitrateKbps, int gop, std::string* error);
    bool isOpen() const { return ctx_ != nullptr; }
    int width() const { return width_; }
    int height() const { return height_; }
    // Encodes one YUV 4:2:0 picture of the opened size; appends the finished units.
    bool encode(AVFrame* picture, bool forceKey, std::vector<EncodedUnit>* out, std::string* error);
    // Drains the pictures still inside the encoder.
    bool flush(std::vector<EncodedUnit>* out, std::string* error);

private:
    bool drain(std::vector<EncodedUnit>* out, std::string* error);

    AvCodecContextPtr ctx_;
    AvPacketPtr packet_;
    int width_ = 0;
    int height_ = 0;
    int64_t pts_ = 0;
};

// Paints picture `index` of a moving test pattern (colour bars, a sliding box and the picture
// number in binary along the bottom) into a YUV 4:2:0 frame.
void paintTestPattern(AVFrame* frame, int64_t index);
// A writable YUV 4:2:0 frame of the given size.
AvFramePtr allocPicture(int width, int height);

}  // namespace phonesim
