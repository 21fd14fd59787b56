// The program's main window and the hub of the running system: owns the mirroring servers and
// fans every connection event, picture and audio block out to the outputs.
// Thread rules: GUI thread only, except OnMirrorAudioFrame, which runs on the streaming media
// server's thread (direct connection) and touches only thread-safe state.
#pragma once

#include <QMainWindow>
#include <QString>

#include <atomic>
#include <memory>
#include <string>

#include "mirror/pcmframe.h"
#include "mirror/videoframe.h"

class SocketServer;
class VirtualCameraRegistrar;
class VMicManage;
namespace bg {
class Value;
}

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    SocketServer* mirrorServer() const { return mirrorServer_.get(); }
    VMicManage* microphone() const { return mic_.get(); }
    bool isMicrophoneOpen() const { return micOpen_; }

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
    void slot_needInstallMicDLL();
    void slot_openResult(bool result);
    void slot_closeResult(bool result);
    void slot_installResult(bool result);
    void slot_uninstallResult(bool result);

private:
    void initMirroring();
    void initVirtualCamera();
    void initMicrophone();
    // Named bridge signals "mainWindows.*"; run on the emitting thread (the GUI thread).
    void onBridgeSignal(const std::string& name, const bg::Value& value);
    // The settings dialog's microphone switch: stores the setting.
    void setMicSwitch(bool on);
    // A question box with the buttons "是" (default) and "否"; true for "是".
    bool ask(const QString& text);
    void inform(const QString& text);

    VirtualCameraRegistrar* cameraRegistrar_ = nullptr;  // child of this window
    // Destroyed after the mirror server has stopped, so no audio thread still feeds it.
    std::unique_ptr<VMicManage> mic_;
    std::unique_ptr<SocketServer> mirrorServer_;
    uint64_t bridgeSubscription_ = 0;
    bool micOpen_ = false;
    bool silentMicOpen_ = false;
    bool closing_ = false;
    bool connected_ = false;
    bool showingVideo_ = false;
    bool screenshotPending_ = false;
    // Set on connection; the audio thread reports the first block of each session once.
    std::atomic<bool> firstAudioPending_{false};
};
