// The program's main window and the hub of the running system: owns the mirroring servers and
// fans every connection event, picture and audio block out to the outputs.
// Thread rules: GUI thread only, except OnMirrorAudioFrame, which runs on the streaming media
// server's thread (direct connection) and touches only thread-safe state.
#pragma once

#include <QMainWindow>
#include <QString>

#include <atomic>
#include <memory>

#include "mirror/pcmframe.h"
#include "mirror/videoframe.h"

class SocketServer;
class VirtualCameraRegistrar;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    SocketServer* mirrorServer() const { return mirrorServer_.get(); }

signals:
    // Audio level of the latest block (emitted on the audio thread, delivered queued).
    void sig_volumeInfo(double radio);
    // The picture as shown, for the picture area (GUI thread).
    void sig_displayFrame(I420FramePtr frame);

public slots:
    void OnMirrorVideoFrame(I420FramePtr frame);
    void OnMirrorAudioFrame(PcmFramePtr frame);
    void OnMirrorInConnected(QString serial, QString name);
    void OnMirrorOutConnected(QString serial);
    void OnRecordFrame(bool state);
    void slot_screenShot();

private:
    void initMirroring();
    void initVirtualCamera();

    VirtualCameraRegistrar* cameraRegistrar_ = nullptr;  // child of this window
    std::unique_ptr<SocketServer> mirrorServer_;
    bool connected_ = false;
    bool showingVideo_ = false;
    bool screenshotPending_ = false;
    // Set on connection; the audio thread reports the first block of each session once.
    std::atomic<bool> firstAudioPending_{false};
};
