#include "record/recordsink.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include "app/kivocamdata.h"
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

void fallBackToHome(QString* dir) {
    *dir = QDir::homePath();
    KivoCamData::instance()->setSaveDir(*dir);
    KivoCamData::instance()->save();
}

// The save directory, moved (with the stored setting) to the home directory when it is missing
// or not writable.
QString resolveSaveDir() {
    QString dir = KivoCamData::instance()->saveDir();
    // An empty setting would otherwise mean the current directory and a test file at "/".
    if (dir.isEmpty() || !QDir(dir).exists()) fallBackToHome(&dir);

    QFile probe(dir + "/kivoscreen-test.txt");
    if (!probe.open(QIODevice::WriteOnly)) fallBackToHome(&dir);
    probe.close();
    probe.remove();

    dir = KivoCamData::instance()->saveDir();
    if (!dir.endsWith('/')) dir += '/';
    return dir;
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

bool RecordSink::start(int width, int height, QString* path, RecordingId* id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (id) *id = 0;
    if (controller_) {
        // The previous file is finalised here; its owner learns the outcome when it stops.
        replaced_[current_] = controller_->stop();
        if (replaced_.size() > 16) replaced_.erase(replaced_.begin());  // owners that never ask
        controller_.reset();
        current_ = 0;
    }
    controller_ = std::make_unique<kivo::muxer::AVMuxerController>();

    const QString file = uniqueRecordPath(resolveSaveDir(), timeStamp());
    if (path) *path = file;
    KivoCamData::instance()->setCurrentRecordFile(file);
    KivoCamData::instance()->save();
    const QByteArray fileUtf8 = file.toUtf8();
    LOGE("--- save: %s", fileUtf8.constData());

    kivo::muxer::MVSettings settings;
    settings.input_pixel_format = 0;  // AV_PIX_FMT_YUV420P
    settings.width = width;
    settings.height = height;
    settings.file_name = fileUtf8.constData();
    if (controller_->start(&settings, true)) {
        current_ = ++lastId_;
        if (id) *id = current_;
        return true;
    }

    LOGE("Recording could not start: %s", fileUtf8.constData());
    controller_.reset();
    return false;
}

bool RecordSink::stop(RecordingId id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (id != 0 && id != current_) {
        const auto it = replaced_.find(id);
        if (it == replaced_.end()) return false;
        const bool ok = it->second;
        replaced_.erase(it);
        return ok;
    }
    if (!controller_) return false;
    const bool ok = controller_->stop();
    controller_.reset();
    current_ = 0;
    return ok;
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
