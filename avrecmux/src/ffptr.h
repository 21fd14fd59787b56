// Owners for the FFmpeg objects of avrecmux.
#pragma once

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

namespace kivo {

struct AvFrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct AvPacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AvDictDeleter {
    void operator()(AVDictionary* d) const { av_dict_free(&d); }
};
using AvFramePtr = std::unique_ptr<AVFrame, AvFrameDeleter>;
using AvPacketPtr = std::unique_ptr<AVPacket, AvPacketDeleter>;

// FFmpeg's error text for a result code.
inline std::string av_error_text(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(err, buf, sizeof(buf));
    return buf;
}

}  // namespace kivo
