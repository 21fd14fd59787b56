// The process-wide owner of the current muxer controller: picks the recording file, starts and
// stops the controller and forwards pictures and audio to it.
// Thread rules: start() with a folder, stop() and the writes from any thread; start() without a
// folder on the GUI thread (it reads and writes KivoCamData). One mutex guards the controller, and
// it is held only to swap it: opening and finalising a file run outside it, so a writer never
// waits for them.
#pragma once

#include <QString>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace kivo {
namespace muxer {
class AVMuxerController;
}
}  // namespace kivo

class RecordSink {
public:
    // Names one recording, so its owner stops and feeds only its own; 0 stands for whichever runs.
    using RecordingId = uint64_t;

    static RecordSink& instance();

    // Finalises any running recording and starts a new one of that size in folder (ending with
    // '/'). True when the file was opened and its header written; on failure no controller is
    // kept, so later writes fail at once instead of waiting on a queue nobody drains. *path gets
    // the file name either way, *id the new recording's name (0 on failure). Without a folder the
    // save-folder rule picks one from the stored setting and the store learns the file name.
    bool start(int width, int height, QString* path = nullptr, RecordingId* id = nullptr,
               const QString& folder = QString());
    // Finalises recording id and drops its controller; a newer recording is left alone. True only
    // when that recording ran and its file was written, trailed and closed without error (also
    // when a later start() already finalised it).
    bool stop(RecordingId id = 0);

    // True when the controller took the item; false otherwise, without a running recording, or
    // when id names a recording that is no longer running.
    bool write_yuv420(const uint8_t* data, int size, int width, int height, const uint32_t* pitch,
                      const uint32_t* dlen, int64_t usec, RecordingId id = 0);
    bool write_pcm(const uint8_t* data, int nbytes, int sampleRate, int channels, int bitsPerSample,
                   int64_t usec, RecordingId id = 0);

private:
    RecordSink() = default;
    ~RecordSink();
    RecordSink(const RecordSink&) = delete;
    RecordSink& operator=(const RecordSink&) = delete;

    std::mutex mutex_;  // guards everything below
    std::unique_ptr<kivo::muxer::AVMuxerController> controller_;
    RecordingId current_ = 0;  // names controller_'s recording; 0 without one
    RecordingId lastId_ = 0;
    // Outcome of recordings that a later start() finalised, until their owner asks.
    std::map<RecordingId, bool> replaced_;
    std::set<RecordingId> finalising_;  // being finalised by a start(), outside the lock
    std::condition_variable finalised_;
};
