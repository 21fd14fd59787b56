// One output file: opens the container chosen by the file name, encodes pictures (H.264) and PCM
// (AAC) and writes the packets interleaved; stop() drains the encoders and writes the trailer.
// MP4 is written fragmented (a fragment per key frame, at most about a second), so a file cut
// short by a crash or a full disk still plays up to its last complete fragment.
// Thread rules: none inside; every call of one muxer must come from one thread at a time
// (the controller's worker in threaded mode).
#pragma once

#include <cstdint>
#include <vector>

#include "avrecmux/avmuxercontroller.h"
#include "avrecmux/export.h"

struct AVCodecContext;
struct AVCodec;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;

namespace kivo {

class AudioIO;
class ImageScaler;

namespace muxer {

// One stream: its encoder context (owned by the muxer), encoder and container stream.
struct FFStream {
    AVCodecContext* enc = nullptr;
    const AVCodec* codec = nullptr;
    AVStream* st = nullptr;
    bool flushing = false;  // the end of input was sent
};

class AVRECMUX_API AVMuxer {
public:
    AVMuxer();
    virtual ~AVMuxer();
    AVMuxer(const AVMuxer&) = delete;
    AVMuxer& operator=(const AVMuxer&) = delete;

    // False (after a message on standard error) when the container, an encoder, a stream, the
    // file or the header could not be set up; the muxer is then left stopped.
    bool start(const MVSettings* settings);
    // Drains the encoders, writes the trailer and closes the file. True only when the file was
    // open and every write, the trailer and the close succeeded; a second call returns false.
    bool stop();
    // A write to the file failed: the recording has ended and later writes return -4.
    bool failed() const { return failed_; }

    // -1 not started or video disabled, -2 out of memory, -3 planes that do not fit size bytes,
    // -4 the file could not be written (failed()), 0 written or dropped as not newer than the
    // last picture, 1 the encoder gave no packet or the write failed.
    int write_yuv420(const uint8_t* data, int size, int width, int height, const uint32_t* pitch,
                     const uint32_t* dlen, int64_t usec);
    // -1 not started or audio disabled, -2 fewer than 8 bits per sample, -3 a chunk that is not
    // 8-bit, 16-bit or float PCM of 1 to 64 channels, -4 the file could not be written,
    // otherwise 0.
    int write_pcm(const uint8_t* data, int nbytes, int sample_rate, int channels,
                  int bits_per_sample, int64_t usec);

    // Hand a ready frame (ownership taken) to the encoder; -1 when that stream is disabled.
    int write_video_frame(AVFrame* frame);
    int write_audio_frame(AVFrame* frame);

    static int microseconds_for_pcm_nbytes(int nbytes, int channels, int sample_rate,
                                           int bits_per_sample);
    static int nbytes_pcm_for_microseconds(int64_t usec, int channels, int sample_rate,
                                           int bits_per_sample);

protected:
    // codec_id is an AVCodecID. False when no encoder or stream could be made.
    bool add_stream(AVFormatContext* oc, const MVSettings* settings, FFStream* ost, int codec_id);
    bool open_video(FFStream* ost);
    bool open_audio(FFStream* ost);
    // 0 when a packet was written, 1 otherwise; always frees frame (null flushes).
    int encode_video_frame(AVFrame* frame, AVFormatContext* oc, AVStream* st);
    int encode_audio_frame(AVFrame* frame, AVFormatContext* oc, AVStream* st);
    void init_packet(AVPacket* pkt);

private:
    // Writes every packet the encoder has ready; 0 when at least one was written, else 1.
    int drain(FFStream* ost, AVFormatContext* oc, AVStream* st);
    int flush_stream(FFStream* ost, AVFormatContext* oc);
    void note_write_error(int err, const char* what);

    MVSettings settings_;
    AVFormatContext* oc_ = nullptr;
    bool header_written_ = false;
    bool failed_ = false;  // a write to the file failed
    FFStream audio_;
    FFStream video_;
    int64_t video_frames_written_ = 0;
    int64_t audio_samples_encoded_ = 0;
    int64_t last_video_pts_ = -1;
    AudioIO* audio_io_ = nullptr;
    ImageScaler* scaler_ = nullptr;
    std::vector<uint8_t> staging_;
    int64_t origin_usec_ = -1;
};

}  // namespace muxer
}  // namespace kivo
