// The process-wide owner of the current muxer controller: picks the recording file, starts and
// stops the controller and forwards pictures and audio to it.
// Thread rules: start() on the GUI thread (it reads and writes KivoCamData); stop() and the writes
// from any thread. One mutex serialises all of them, so replacing the controller never races a
// write.
#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <mutex>

namespace kivo {
namespace muxer {
class AVMuxerController;
}
}  // namespace kivo

class RecordSink {
public:
    static RecordSink& instance();

    // Finalises any running recording and starts a new one of that size. True when the file was
    // opened and its header written; on failure no controller is kept, so later writes fail at
    // once instead of waiting on a queue nobody drains. *path gets the file name either way.
    bool start(int width, int height, QString* path = nullptr);
    // Finalises the file and drops the controller. True only when a recording was running and
    // its file was written, trailed and closed without error.
    bool stop();

    // True when the controller took the item; false otherwise or without a running recording.
    bool write_yuv420(const uint8_t* data, int size, int width, int height, const uint32_t* pitch,
                      const uint32_t* dlen, int64_t usec);
    bool write_pcm(const uint8_t* data, int nbytes, int sampleRate, int channels, int bitsPerSample,
                   int64_t usec);

private:
    RecordSink() = default;
    ~RecordSink();
    RecordSink(const RecordSink&) = delete;
    RecordSink& operator=(const RecordSink&) = delete;

    std::mutex mutex_;  // guards everything below
    std::unique_ptr<kivo::muxer::AVMuxerController> controller_;
};
