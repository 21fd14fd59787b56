#include "record/recordsink.h"

#include <QDateTime>
#include <QFile>

#include "config/kivocamdata.h"
#include "config/savefolder.h"
#include "avrecmux/avmuxercontroller.h"
#include "kivobridge/log.h"

namespace {

QString timeStamp() {
    if (bg::CD) return QString::fromStdString(bg::CD->utility()->now("%Y%m%d%H%M%S"));
    return QDateTime::currentDateTime().toString("yyyyMMddHHmmss");
}

// Two recordings started within one second would share a name; the later one must not wipe the
// earlier file.
QString uniqueRecordPath(const QString& dir, const QString& stamp) {
    QString path = dir + QString("KivoCam_recoder[%1].mp4").arg(stamp);
    for (int n = 2; QFile::exists(path); ++n)
        path = dir + QString("KivoCam_recoder[%1]_%2.mp4").arg(stamp).arg(n);
    return path;
}

}  // namespace

RecordSink& RecordSink::instance() {
    static RecordSink sink;
    return sink;
}

// A recording still open at exit is abandoned, not finalised: during static destruction the
// bridge and its pools may already be gone.
RecordSink::~RecordSink() {
    (void)controller_.release();
}

bool RecordSink::start(int width, int height, QString* path, RecordingId* id,
                       const QString& folder) {
    if (id) *id = 0;
    // Finalising and opening a file take long; the writers' lock is held only to swap controllers,
    // so a caller feeding sound never waits for either.
    std::unique_ptr<kivo::muxer::AVMuxerController> previous;
    RecordingId previousId = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        previous = std::move(controller_);
        previousId = current_;
        current_ = 0;
        if (previous) finalising_.insert(previousId);
    }
    if (previous) {
        // Its owner learns the outcome when it stops.
        const bool ok = previous->stop();
        previous.reset();
        std::lock_guard<std::mutex> lock(mutex_);
        finalising_.erase(previousId);
        replaced_[previousId] = ok;
        if (replaced_.size() > 16) replaced_.erase(replaced_.begin());  // owners that never ask
        finalised_.notify_all();
    }

    const bool fromSetting = folder.isEmpty();
    const QString dir =
        fromSetting ? savefolder::choose(KivoCamData::instance()->saveDir()).dir : folder;
    const QString file = uniqueRecordPath(dir, timeStamp());
    if (path) *path = file;
    if (fromSetting) {
        KivoCamData::instance()->setCurrentRecordFile(file);
        KivoCamData::instance()->save();
    }
    const QByteArray fileUtf8 = file.toUtf8();
    LOGE("--- save: %s", fileUtf8.constData());

    auto controller = std::make_unique<kivo::muxer::AVMuxerController>();
    kivo::muxer::MVSettings settings;
    settings.input_pixel_format = 0;  // AV_PIX_FMT_YUV420P
    settings.width = width;
    settings.height = height;
    settings.file_name = fileUtf8.constData();
    if (!dir.isEmpty() && controller->start(&settings, true)) {
        std::lock_guard<std::mutex> lock(mutex_);
        controller_ = std::move(controller);
        current_ = ++lastId_;
        if (id) *id = current_;
        return true;
    }
    LOGE("Recording could not start: %s", fileUtf8.constData());
    return false;
}

bool RecordSink::stop(RecordingId id) {
    std::unique_ptr<kivo::muxer::AVMuxerController> controller;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (id != 0 && id != current_) {
            // A start() may be finalising it right now; its outcome follows shortly.
            finalised_.wait(lock, [&] { return finalising_.count(id) == 0; });
            const auto it = replaced_.find(id);
            if (it == replaced_.end()) return false;
            const bool ok = it->second;
            replaced_.erase(it);
            return ok;
        }
        if (!controller_) return false;
        controller = std::move(controller_);
        current_ = 0;
    }
    // Outside the lock: the writers fail at once instead of waiting for the trailer.
    return controller->stop();
}

bool RecordSink::write_yuv420(const uint8_t* data, int size, int width, int height,
                              const uint32_t* pitch, const uint32_t* dlen, int64_t usec,
                              RecordingId id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return controller_ && (id == 0 || id == current_) &&
           controller_->write_yuv420(data, size, width, height, pitch, dlen, usec) == 0;
}

bool RecordSink::write_pcm(const uint8_t* data, int nbytes, int sampleRate, int channels,
                           int bitsPerSample, int64_t usec, RecordingId id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return controller_ && (id == 0 || id == current_) &&
           controller_->write_pcm(data, nbytes, sampleRate, channels, bitsPerSample, usec) == 0;
}
