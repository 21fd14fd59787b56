#include "record/recorder.h"

#include <QDebug>

#include "kivobridge/log.h"
#include "record/pictureconverter.h"
#include "record/recordsink.h"

namespace {

int64_t clockUsec() {
    return bg::CD ? bg::CD->utility()->clock() : 0;
}

}  // namespace

Recorder::Recorder(QObject* parent)
    : QObject(parent), pool_(pp::create_pktpool("recorder", nullptr)) {}

Recorder::~Recorder() {
    stopRecord();
    pp::destroy_pktpool(pool_);
}

bool Recorder::startRecord(const QSize& pictureSize) {
    if (worker_.joinable()) {
        qDebug("startRecord fail! error: Recoder is running!");
        return false;
    }
    if (used_) {
        qDebug("startRecord fail! error: Recoder has already recorded!");
        return false;
    }
    used_ = true;

    size_ = QSize(pictureSize.width() / 8 * 8, pictureSize.height() / 2 * 2);
    QString path;
    bool ok = false;
    if (size_.isEmpty() || !pool_) {
        LOGE("Recoder start fail, error [picture %dx%d]!", pictureSize.width(),
             pictureSize.height());
    } else {
        RecordSink::RecordingId id = 0;
        ok = RecordSink::instance().start(size_.width(), size_.height(), &path, &id, folder_);
        recording_.store(id);
    }
    if (ok) {
        stopped_.exchange(0);
        worker_ = std::thread(&Recorder::processVideo, this);
    }
    emit sig_recordStarted(ok, path);
    return ok;
}

void Recorder::pushImage(const QImage& image, int64_t usec) {
    if (image.isNull()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (queue_.size() >= static_cast<size_t>(kMaxQueued)) queue_.pop_front();
        queue_.push_back({image.copy(), usec});
    }
    cond_.notify_one();
}

void Recorder::pushPcm(const PcmFramePtr& frame) {
    if (!frame) return;
    const int bytesPerFrame = frame->bitsPerSample() / 8 * frame->channels();
    if (bytesPerFrame <= 0 || frame->sampleRate() <= 0 || frame->size() < 0) {
        LOGE("Recoder pcm fail, error [%d Hz, %d ch, %d bits]!", frame->sampleRate(),
             frame->channels(), frame->bitsPerSample());
        return;
    }
    const auto samples =
        static_cast<unsigned>(frame->size()) / static_cast<unsigned>(bytesPerFrame);
    const auto duration = static_cast<int64_t>(samples * (1.0 / frame->sampleRate() * 1000000.0));

    const int64_t at = pcmClock_.stamp(clockUsec(), duration);
    // Before our recording starts there is nothing of ours to write into.
    if (const RecordSink::RecordingId id = recording_.load()) {
        RecordSink::instance().write_pcm(frame->data(), frame->size(), frame->sampleRate(),
                                         frame->channels(), frame->bitsPerSample(), at, id);
    }
    audioCursor_.store(pcmClock_.end());
}

bool Recorder::stopRecord() {
    const bool wasRecording = stopped_.load() == 0;
    // Only our own recording: another recorder may have started a newer one since.
    const bool finalised = wasRecording && RecordSink::instance().stop(recording_.load());
    {
        // Under the lock, so the worker cannot miss the wake-up between its check and its wait.
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_.exchange(1);
    }
    cond_.notify_all();
    if (worker_.joinable()) worker_.join();
    return wasRecording && finalised;
}

QSize Recorder::recordingSize() const {
    return size_;
}

int Recorder::queuedPictures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(queue_.size());
}

void Recorder::processVideo() {
    const PictureConverter converter(pool_, size_);
    const int w = size_.width();
    const int h = size_.height();
    const uint32_t pitch[3] = {uint32_t(w), uint32_t(w / 2), uint32_t(w / 2)};
    const uint32_t dlen[3] = {uint32_t(h * w), uint32_t(h * (w / 2) / 2),
                              uint32_t(h * (w / 2) / 2)};
    while (stopped_.load() == 0) {
        Entry entry;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            cond_.wait(lock, [this] { return !queue_.empty() || stopped_.load() != 0; });
            if (queue_.empty()) continue;
            entry = std::move(queue_.front());
            queue_.pop_front();
        }
        if (entry.image.isNull()) continue;
        I420FramePtr yuv = converter.convert(entry.image);
        if (!yuv) continue;
        RecordSink::instance().write_yuv420(yuv->data(), static_cast<int>(yuv->bufferSize()), w, h,
                                            pitch, dlen, entry.usec, recording_.load());
    }
}
