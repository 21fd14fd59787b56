// The entry point of avrecmux: takes raw I420 pictures and interleaved PCM chunks stamped with a
// capture time and turns them into one MP4 file.
// Thread rules: start() and stop() from one thread at a time (the caller serialises them with its
// writes); write_yuv420() and write_pcm() from any threads between them. In threaded mode the
// writes only copy into two bridge packet queues (blocking at most 200 ms when a queue is full,
// then the item is dropped) and one worker thread drives the muxer; in direct mode the writes
// encode on the caller's thread.
#pragma once

#include <cstdint>

#include "avrecmux/export.h"

namespace kivo {
namespace muxer {

// Recording settings. The library reads file_name and metadata only during start(); the caller
// owns both texts.
struct MVSettings {
    bool disable_video = false;
    int32_t input_pixel_format = 26;  // AVPixelFormat of the pictures given (26: RGBA, 0: I420)
    int32_t width = 1920;
    int32_t height = 1080;
    int32_t video_bitrate_kbps = 1200;
    int32_t frame_rate = 25;
    int32_t gop_size = 25;
    int32_t video_spare = 2;  // not read
    bool disable_audio = false;
    int32_t sample_rate = 44100;
    int32_t channels = 2;  // not read: the audio track is always stereo
    int32_t audio_bitrate_kbps = 128;
    const char* file_name = "kivo_test.mp4";  // UTF-8; the extension picks the container
    // "key:value" tags separated by ';'; null for none.
    const char* metadata = "title:KivoCapture;comment:https://www.kivocam.example.com";
};

class AVRECMUX_API AVMuxerController {
public:
    AVMuxerController();
    // Copies share one recording; the last copy to go stops it.
    AVMuxerController(const AVMuxerController& other);
    AVMuxerController& operator=(const AVMuxerController& other);
    virtual ~AVMuxerController();

    // True when the file was opened and its header written. False when a recording is already
    // running or the muxer could not start (the muxer is then left stopped; call stop() before
    // the next start()).
    bool start(const MVSettings* settings, bool threaded = true);
    // Ends the recording and finalises the file; queued items not yet written are dropped.
    // True only when a started recording was finalised and every write, the trailer and the
    // close of its file succeeded; false when nothing was recording or the file failed.
    bool stop();

    // One planar YUV 4:2:0 picture of size bytes: Y, then U, then V. pitch and dlen hold the
    // row pitch and byte length of the Y, U and V planes. usec: capture time in microseconds
    // on any clock, negative to stamp with the bridge clock.
    // 0 queued (threaded), -1 stopped, the queue refused it, the muxer failed to start or the
    // file could not be written, -2 not started, -3 no data; direct mode returns the muxer's
    // result.
    int write_yuv420(const uint8_t* data, int size, int width, int height, const uint32_t* pitch,
                     const uint32_t* dlen, int64_t usec);
    // One chunk of interleaved PCM of nbytes bytes; results as write_yuv420, and -2 for fewer
    // than 8 bits per sample, -3 for a chunk the muxer cannot take (see AVMuxer::write_pcm).
    int write_pcm(const uint8_t* data, int nbytes, int sample_rate, int channels,
                  int bits_per_sample, int64_t usec);

private:
    struct ControllerState;
    static void run_worker(ControllerState* state);
    void release_state();

    ControllerState* d_;
};

}  // namespace muxer
}  // namespace kivo
