// The running system without its face: owns the mirroring servers, the virtual camera's staging,
// the virtual microphone, the recorder and the screenshot rule, keeps the recording state in one
// place and answers the phone's requests. The window shows what it reports; without a window it
// runs on its own, taking the pictures for recordings and screenshots from the stream.
// Thread rules: GUI (main) thread only, except onAudioFrame, which runs on the streaming media
// server's thread (direct connection) and touches the recorder and the resampler only under
// recordLock_, and isRecording() and isShowingPicture(), which the command server asks from its
// own thread. Opening and finalising recording files run on the hub's own record thread, so
// neither the main thread nor a thread feeding sound ever waits for them.
#pragma once

#include <QImage>
#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "mirror/pcmframe.h"
#include "mirror/videoframe.h"

class PcmResampler;
class Recorder;
class SocketServer;
class VirtualCameraRegistrar;
class VMicManage;

class MirrorHub : public QObject {
    Q_OBJECT

public:
    // How a window's renderer hands over its pictures. Unset (no window), or while the renderer
    // paints nothing, the pictures come from the stream.
    struct CaptureHooks {
        std::function<void()> request;  // deliver every painted picture until end
        std::function<void()> end;
        std::function<bool()> paints;  // the renderer paints, so its pictures will come
    };

    explicit MirrorHub(QObject* parent = nullptr);
    // Ends a running recording with its file finalised, then stops the servers and outputs.
    ~MirrorHub() override;

    // Starts the servers, the virtual camera and, when the setting asks for it, the microphone.
    void start();
    void setCaptureHooks(CaptureHooks hooks) { hooks_ = std::move(hooks); }

    SocketServer* mirrorServer() const { return server_.get(); }
    VMicManage* microphone() const { return mic_.get(); }
    bool isConnected() const { return connected_; }
    bool isShowingPicture() const { return showingPicture_.load(); }  // any thread
    bool isRecording() const { return recording_.load(); }            // any thread
    bool isScreenshotPending() const { return screenshotPending_; }
    bool isMicrophoneOpen() const { return micOpen_; }
    QString lastScreenshot() const { return lastScreenshot_; }
    // Milliseconds since the recording's first picture; 0 before it and when none runs.
    int64_t recordElapsedMs() const;

    // What the servers report; the window's slots of the same meaning call these too.
    void onConnected(const QString& serial, const QString& name);
    void onDisconnected(const QString& serial);
    void onVideoFrame(const I420FramePtr& frame);
    void onAudioFrame(const PcmFramePtr& frame);
    // The phone asks to start (true) or stop (false) recording.
    void onRecordRequest(bool state);

    void requestScreenshot();
    void startRecording();
    void stopRecording();
    // A picture for the recorder (bottom-up, as the renderer reads it back); 0 = stamp it now.
    void recordPicture(const QImage& image, int64_t pictureUs);
    // A picture for a pending screenshot (bottom-up).
    void shotPicture(const QImage& image);

signals:
    void connected(QString serial, QString name);
    void disconnected(QString serial);
    // The first picture of a connection is up: screenshots and recordings can start.
    void pictureShowing();
    void displayFrame(I420FramePtr frame);
    // Audio level of the latest block (emitted on the audio thread).
    void volumeInfo(double radio);
    void recordingChanged(bool on);
    // A recording could not be started (file not created); it is over.
    void recordStartFailed(QString path);
    void recordFinished(bool ok, QString path);
    void screenshotFinished(bool ok, QString path);
    // A file went to folder instead of the stored save folder, which cannot be written. Once per
    // unusable stored folder.
    void savedElsewhere(QString folder);

private:
    void startCapture();
    void endCapture();
    bool paints() const { return hooks_.paints && hooks_.paints(); }
    // The folder for the next file; announces a fallback once.
    QString chooseFolder();
    void releaseFreeMemory();
    // Runs fn on the record thread, after everything posted before it.
    void onRecordThread(std::function<void()> fn);
    void recordStarted(unsigned generation, bool ok, const QString& path);
    void recordStopped(bool made, const QString& path, bool started);

    CaptureHooks hooks_;
    VirtualCameraRegistrar* cameraRegistrar_ = nullptr;  // child of this hub
    // Destroyed after the mirror server has stopped, so no audio thread still feeds it.
    std::unique_ptr<VMicManage> mic_;
    std::unique_ptr<SocketServer> server_;
    QThread recordThread_;
    QObject* recordContext_ = nullptr;  // lives on recordThread_; deleted when it ends

    // Guards recorder_ and resampler_ for the audio thread; held only for quick work.
    mutable std::mutex recordLock_;
    std::shared_ptr<Recorder> recorder_;
    std::unique_ptr<PcmResampler> resampler_;
    std::atomic<bool> recording_{false};
    bool recorderBegun_ = false;     // the first picture was handed over (GUI thread)
    bool recorderOpen_ = false;      // its file is open: pictures go in from now on
    int64_t recordStartTime_ = 0;    // bridge clock, microseconds; 0 = no picture yet
    unsigned recordGeneration_ = 0;  // tells late results which recording they were for
    QString recordFolder_;

    bool screenshotPending_ = false;
    bool capturing_ = false;
    bool connected_ = false;
    std::atomic<bool> showingPicture_{false};
    bool micOpen_ = false;
    QString lastScreenshot_;
    QString announcedFallback_;  // the stored folder whose fallback was announced
    std::atomic<bool> firstAudioPending_{false};
};
