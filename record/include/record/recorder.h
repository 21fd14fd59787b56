// One recording: queues the pictures the main window captures, converts them on a worker thread
// and hands them with the stamped audio blocks to RecordSink.
// Thread rules: setFolder, startRecord, stopRecord and the destructor on one thread at a time
// (they open and finalise the file, so an owner with a window runs them off its GUI thread);
// pushImage on one thread and pushPcm on one audio thread, both also while startRecord runs but
// not after stopRecord began; isStopped, queuedPictures and audioCursor from any thread. The
// picture queue drops its oldest entry instead of growing or blocking the caller.
#pragma once

#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "kivobridge/pool.h"
#include "mirror/pcmframe.h"
#include "record/pcmclock.h"
#include "record/recordsink.h"

class Recorder : public QObject {
    Q_OBJECT

public:
    // Pictures kept while the worker is behind.
    static constexpr int kMaxQueued = 11;

    explicit Recorder(QObject* parent = nullptr);
    ~Recorder() override;

    // Starts the recording on the first picture: the size is rounded down to a multiple of 8
    // wide and 2 high. True when the file is being written. A recorder records one file: a
    // second call returns false. Emits sig_recordStarted with the outcome before returning; a
    // slot that may delete the recorder must be connected queued.
    bool startRecord(const QSize& pictureSize);
    // The folder (ending with '/') the file goes to; unset, the store's setting decides.
    void setFolder(const QString& folder) { folder_ = folder; }
    // Queues a copy of a (bottom-up) picture with its capture time in microseconds.
    void pushImage(const QImage& image, int64_t usec);
    // Stamps one 44.1 kHz stereo 16-bit block with the time its sound belongs to (see PcmClock)
    // and writes it.
    void pushPcm(const PcmFramePtr& frame);
    // Finalises this recorder's own file (never a newer recorder's) and joins the worker; queued
    // pictures are dropped. True only when this recorder's recording was running and its file
    // was written without error.
    bool stopRecord();

    // 1 before startRecord and after stopRecord (also after a failed start), 0 while recording.
    bool isStopped() const { return stopped_.load() != 0; }
    QSize recordingSize() const;
    int queuedPictures() const;
    // End of the last stamped audio block, bridge clock microseconds; 0 before the first block.
    int64_t audioCursor() const { return audioCursor_.load(); }

signals:
    void sig_recordStarted(bool ok, const QString& path);

private:
    struct Entry {
        QImage image;
        int64_t usec = 0;
    };

    void processVideo();

    pp::Abstract_PacketPool* pool_;  // owned; every conversion buffer comes from here
    QSize size_;                     // set before the worker starts, constant afterwards
    bool used_ = false;              // startRecord ran once (owner's thread only)
    QString folder_;
    // The recording this recorder started; 0 before. Set once, before the worker starts.
    std::atomic<RecordSink::RecordingId> recording_{0};
    std::thread worker_;

    mutable std::mutex mutex_;  // guards queue_ only
    std::condition_variable cond_;
    std::deque<Entry> queue_;

    PcmClock pcmClock_;  // pushPcm's thread only
    std::atomic<int64_t> audioCursor_{0};
    std::atomic<int> stopped_{1};
};
