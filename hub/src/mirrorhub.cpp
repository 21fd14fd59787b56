#include "hub/mirrorhub.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMetaObject>
#include <QTimer>

#include "config/kivocamdata.h"
#include "config/savefolder.h"
#include "hub/mediafunctions.h"
#include "hub/pcmresampler.h"
#include "kivobridge/log.h"
#include "mirror/screenmirrorserver.h"
#include "mirror/socketserver.h"
#include "output/camerablock.h"
#include "output/openglwidget.h"
#include "output/sharememorymanager.h"
#include "output/virtualcameraregistrar.h"
#include "output/vmicmanage.h"
#include "platform/system.h"
#include "record/recorder.h"

namespace {

int64_t clockUsec() {
    return bg::CD ? bg::CD->utility()->clock() : 0;
}

// Two screenshots within one second would share a name; the later one must not replace the
// earlier file.
QString screenshotPath(const QString& dir) {
    const QString stamp = QDateTime::currentDateTime().toString("yyyyMMddhhmmss");
    QString path = dir + QString("KivoCam_shot[%1].png").arg(stamp);
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = dir + QString("KivoCam_shot[%1]_%2.png").arg(stamp).arg(n);
    return path;
}

}  // namespace

MirrorHub::MirrorHub(QObject* parent) : QObject(parent) {
    // Every server and output reads its settings from here; load them first.
    KivoCamData::instance();
    cameraRegistrar_ = new VirtualCameraRegistrar(this);
    mic_ = std::make_unique<VMicManage>();
    server_ = std::make_unique<SocketServer>();
    // The process-wide pool supplies the resampled audio blocks; it is made on first use.
    resampler_ = std::make_unique<PcmResampler>(ScreenMirrorServer::framePool());

    recordContext_ = new QObject;
    recordContext_->moveToThread(&recordThread_);
    recordThread_.setObjectName(QStringLiteral("kivo-record"));
    recordThread_.start();

    connect(mic_.get(), &VMicManage::sig_openResult, this, [this](bool ok) {
        if (ok) micOpen_ = true;
    });
    connect(mic_.get(), &VMicManage::sig_closeResult, this, [this](bool ok) {
        if (ok) micOpen_ = false;
    });

    // A line every half minute, so a long run's log shows whether picture memory comes back.
    auto* stats = new QTimer(this);
    connect(stats, &QTimer::timeout, this, [] {
        const pp::Abstract_PacketPool* pool = ScreenMirrorServer::framePool();
        LOGI("[stats]frame pool: %zu bytes held, %zu cached", pool->heldBytes(),
             pool->cachedBytes());
    });
    stats->start(30000);
}

MirrorHub::~MirrorHub() {
    server_->stopServer();
    cameraRegistrar_->registerVirtualCamera(false);
    if (micOpen_) mic_->setOpen(false);
    // A recording still running ends with its file finalised; nothing feeds it any more.
    stopRecording();
    onRecordThread([] { QThread::currentThread()->quit(); });
    recordThread_.wait();
    delete recordContext_;
    ShareMemoryManager::instance()->stopWrite();
    ShareMemoryManager::instance()->releaseMemory();
}

void MirrorHub::start() {
    KivoCamData* data = KivoCamData::instance();
    MirrorHostConfig config;
    config.deviceName = [data] { return data->deviceName(); };
    config.storeIpAddress = [data](const QString& ip) { data->setIpAddress(ip); };
    config.isRecording = [this] { return isRecording(); };
    config.canStartRecording = [this] { return isShowingPicture(); };
    server_->setHostConfig(std::move(config));

    SocketServer* server = server_.get();
    connect(server, &SocketServer::sig_MirrorInConnected, this, &MirrorHub::onConnected);
    connect(server, &SocketServer::sig_MirrorOutConnected, this, &MirrorHub::onDisconnected);
    connect(server, &SocketServer::sig_MirrorVideoFrame, this, &MirrorHub::onVideoFrame);
    // The camera is staged on the decoding thread: through the GUI thread each picture would
    // wait behind the window's paint. The manager outlives the hub, so it is the context.
    connect(server, &SocketServer::sig_MirrorDecodedFrame, ShareMemoryManager::instance(),
            &ShareMemoryManager::setFrame, Qt::DirectConnection);
    // Audio is handled on the network thread: the microphone must not wait for the GUI.
    connect(server, &SocketServer::sig_MirrorAudioFrame, this, &MirrorHub::onAudioFrame,
            Qt::DirectConnection);
    connect(server, &SocketServer::sig_shotScreen, this, &MirrorHub::requestScreenshot);
    connect(server, &SocketServer::sig_recordFrame, this, &MirrorHub::onRecordRequest);
    server->startServer();

    if (data->openVirtualMic()) mic_->setOpen(true);

    cameraRegistrar_->registerVirtualCamera(true);
    ShareMemoryManager::instance()->createMemory(camerablock::kBlockSize);
    ShareMemoryManager::instance()->clearFrame();
}

// ---- connection ----

void MirrorHub::onConnected(const QString& serial, const QString& name) {
    LOGI("[OnMirrorInConnected]Connnectd linked[%s][%s]", serial.toUtf8().constData(),
         name.toUtf8().constData());
    showingPicture_ = false;
    connected_ = true;
    firstAudioPending_ = true;
    ShareMemoryManager::instance()->startWrite();
    emit connected(serial, name);
}

void MirrorHub::onDisconnected(const QString& serial) {
    ShareMemoryManager::instance()->stopWrite();
    LOGI("[OnMirrorOutConnected]Disconnected [%s]", serial.toUtf8().constData());
    showingPicture_ = false;
    // A screenshot asked for during the session must not fire in the next one.
    if (screenshotPending_) {
        LOGI("[OnMirrorOutConnected]pending screenshot dropped");
        screenshotPending_ = false;
    }
    stopRecording();
    if (!isRecording()) endCapture();
    connected_ = false;
    releaseFreeMemory();
    emit disconnected(serial);
}

// ---- pictures and sound ----

void MirrorHub::onVideoFrame(const I420FramePtr& frame) {
    if (!frame) return;
    if (!showingPicture_ && connected_) {
        showingPicture_ = true;
        LOGI("[OnMirrorVideoFrame]turn into VideoUI...");
        emit pictureShowing();
    }
    LOGD("[OnMirrorVideoFrame]Video Data: [%d, %d]", frame->width(), frame->height());
    I420FramePtr display = media::makeDisplayFrame(*frame);
    if (!display) return;
    emit displayFrame(display);
    // Without a painting renderer (no window, or one minimised, in the tray or covered) nothing
    // would be captured: the recording and a pending screenshot take the picture from here.
    if (capturing_ && !paints()) {
        const QImage picture = media::toBottomUpRgba(*display);
        recordPicture(picture, display->timeUs());
        shotPicture(picture);
    }
    LOGD("[OnMirrorVideoFrame]Video to virtual Camera scaleFrame: [%d, %d]", display->width(),
         display->height());
}

void MirrorHub::onAudioFrame(const PcmFramePtr& frame) {
    if (!frame) return;
    mic_->changePcmFmt(frame);
    if (firstAudioPending_.exchange(false)) {
        LOGI("[OnMirrorAudioFrame]first audio block: %d bytes, %d Hz, %d channels", frame->size(),
             frame->sampleRate(), frame->channels());
    }
    emit volumeInfo(media::audioLevel(frame->data(), frame->size()));
    std::lock_guard<std::mutex> lock(recordLock_);
    if (!recorder_) return;
    if (frame->channels() == PcmResampler::kChannels &&
        frame->sampleRate() == PcmResampler::kRate) {
        recorder_->pushPcm(frame);
    } else {
        PcmFramePtr resampled;
        if (resampler_->resample(*frame, &resampled)) recorder_->pushPcm(resampled);
    }
}

// ---- recording ----

void MirrorHub::onRecordRequest(bool state) {
    if (state && !isShowingPicture()) {
        LOGI("[OnRecordFrame]no picture shown, record request refused");
        return;
    }
    if (state)
        startRecording();
    else
        stopRecording();
}

int64_t MirrorHub::recordElapsedMs() const {
    const int64_t start = recordStartTime_;
    return recording_ && start ? (clockUsec() - start) / 1000 : 0;
}

void MirrorHub::startRecording() {
    if (recording_) return;
    auto recorder = std::make_shared<Recorder>();
    recordFolder_.clear();
    {
        std::lock_guard<std::mutex> lock(recordLock_);
        recorder_ = recorder;
    }
    recorderBegun_ = false;
    recorderOpen_ = false;
    recordStartTime_ = 0;
    recording_ = true;
    const unsigned generation = ++recordGeneration_;
    // Bound to this hub and to this recording: a quick stop or the hub's end cancels it.
    QTimer::singleShot(30, this, [this, generation] {
        if (generation == recordGeneration_ && isRecording()) startCapture();
    });
    LOGI("[slot_Record]recording started");
    emit recordingChanged(true);
}

void MirrorHub::stopRecording() {
    if (!recording_) return;
    ++recordGeneration_;
    std::shared_ptr<Recorder> recorder;
    {
        std::lock_guard<std::mutex> lock(recordLock_);
        recorder = std::move(recorder_);
    }
    const bool begun = recorderBegun_;
    recorderBegun_ = false;
    recorderOpen_ = false;
    recordStartTime_ = 0;
    recording_ = false;
    // A screenshot still waiting needs the captured pictures.
    if (!screenshotPending_) endCapture();
    emit recordingChanged(false);
    if (!begun) {
        // Nothing was opened, so there is nothing to finalise.
        onRecordThread([recorder] { (void)recorder; });
        recordStopped(false, QString(), false);
        return;
    }
    // Finalising writes the rest of the file: on the record thread, after the start it follows.
    onRecordThread([this, recorder] {
        const bool finalised = recorder->stopRecord();
        const QString path = recorder->property("kivoPath").toString();
        const bool made = finalised && !path.isEmpty() && QFileInfo(path).size() > 0;
        LOGI("[slot_Record]recording stopped: %s [%s]", made ? "saved" : "failed",
             path.toUtf8().constData());
        // Dropped unread when the hub is already being destroyed (it waits for this thread).
        QMetaObject::invokeMethod(
            this, [this, made, path] { recordStopped(made, path, true); }, Qt::QueuedConnection);
    });
}

void MirrorHub::recordStopped(bool made, const QString& path, bool started) {
    if (!started) LOGI("[slot_Record]recording stopped: failed []");
    releaseFreeMemory();
    if (made) KivoCamData::instance()->setCurrentRecordFile(path);
    emit recordFinished(made, started ? path : QString());
}

// Pictures are stamped with the time they left the decoder, as the sound is with its arrival:
// the time the screen took to show them would otherwise put the sound ahead of the picture.
void MirrorHub::recordPicture(const QImage& image, int64_t pictureUs) {
    if (!recording_ || image.isNull()) return;
    std::shared_ptr<Recorder> recorder;
    {
        std::lock_guard<std::mutex> lock(recordLock_);
        recorder = recorder_;
    }
    if (!recorder) return;
    if (!recorderBegun_) {
        // One attempt per recording, opened on the record thread.
        recorderBegun_ = true;
        recordStartTime_ = clockUsec();
        recordFolder_ = chooseFolder();
        recorder->setFolder(recordFolder_);
        const QSize size = image.size();
        const unsigned generation = recordGeneration_;
        onRecordThread([this, recorder, size, generation] {
            QString path;
            // No context object: the lambda runs right here, on this thread.
            const QMetaObject::Connection told =
                QObject::connect(recorder.get(), &Recorder::sig_recordStarted,
                                 [&path](bool, const QString& p) { path = p; });
            const bool ok = recorder->startRecord(size);
            QObject::disconnect(told);
            recorder->setProperty("kivoPath", path);
            QMetaObject::invokeMethod(
                this, [this, generation, ok, path] { recordStarted(generation, ok, path); },
                Qt::QueuedConnection);
        });
    }
    // Pictures taken while the file opens are older than any sound it will get: the muxer would
    // pile them up at its start and put the picture behind the sound for the whole file.
    if (!recorderOpen_) return;
    recorder->pushImage(image, pictureUs > 0 ? pictureUs : clockUsec());
}

void MirrorHub::recordStarted(unsigned generation, bool ok, const QString& path) {
    if (ok) {
        if (generation != recordGeneration_) return;
        recorderOpen_ = true;
        KivoCamData::instance()->setCurrentRecordFile(path);
        return;
    }
    if (generation != recordGeneration_) return;  // already stopped; the stop reports it
    // Looking as if it ran would be worse than stopping: the user and the phone learn it now.
    LOGW("[slot_Record]recording could not start: %s", path.toUtf8().constData());
    ++recordGeneration_;
    std::shared_ptr<Recorder> recorder;
    {
        std::lock_guard<std::mutex> lock(recordLock_);
        recorder = std::move(recorder_);
    }
    onRecordThread([recorder] { (void)recorder; });
    recorderBegun_ = false;
    recordStartTime_ = 0;
    recording_ = false;
    if (!screenshotPending_) endCapture();
    emit recordingChanged(false);
    emit recordStartFailed(path);
}

// ---- screenshots ----

void MirrorHub::requestScreenshot() {
    if (!isShowingPicture()) {
        LOGI("[slot_screenShot]no picture shown, screenshot request dropped");
        return;
    }
    screenshotPending_ = true;
    startCapture();
}

void MirrorHub::shotPicture(const QImage& image) {
    if (!screenshotPending_ || image.isNull()) return;
    LOGI("[slot_FrameShot]cutScreenShoot...");
    const QString dir = chooseFolder();
    const QString path = dir.isEmpty() ? QString() : screenshotPath(dir);
    const bool saved = !path.isEmpty() && image.mirrored(false, true).save(path);
    if (!isRecording()) endCapture();
    screenshotPending_ = false;
    if (saved)
        lastScreenshot_ = path;
    else
        LOGW("[slot_FrameShot]cannot write %s", path.toUtf8().constData());
    emit screenshotFinished(saved, path);
}

// ---- shared ----

QString MirrorHub::chooseFolder() {
    const QString stored = KivoCamData::instance()->saveDir();
    const savefolder::Choice choice = savefolder::choose(stored);
    if (!choice.fallback) {
        announcedFallback_.clear();
        return choice.dir;
    }
    if (choice.dir.isEmpty()) {
        LOGE("[save]no folder can be written: neither '%s' nor a fallback",
             stored.toUtf8().constData());
        return choice.dir;
    }
    if (announcedFallback_ != stored + '\n' + choice.dir) {
        announcedFallback_ = stored + '\n' + choice.dir;
        LOGW("[save]save folder '%s' cannot be written; files go to '%s'",
             stored.toUtf8().constData(), choice.dir.toUtf8().constData());
        emit savedElsewhere(choice.dir);
    }
    return choice.dir;
}

void MirrorHub::startCapture() {
    capturing_ = true;
    if (hooks_.request) hooks_.request();
}

void MirrorHub::endCapture() {
    capturing_ = false;
    if (hooks_.end) hooks_.end();
}

// A session's decoder and a recording's encoder leave freed memory behind in the C library.
void MirrorHub::releaseFreeMemory() {
    QElapsedTimer timer;
    timer.start();
    if (!capturing_) OpenGLWidget::releaseCaptureBuffers();
    platform::releaseFreeMemory();
    LOGI("[memory]free heap pages returned in %lld ms", static_cast<long long>(timer.elapsed()));
}

void MirrorHub::onRecordThread(std::function<void()> fn) {
    QMetaObject::invokeMethod(recordContext_, std::move(fn), Qt::QueuedConnection);
}
