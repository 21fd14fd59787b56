// The program's main window and the hub of the running system: owns the mirroring servers, the
// microphone, the recorder while a recording runs and the two forms; fans every connection event,
// picture and audio block out to the screen, the virtual camera, the microphone and the recorder.
// Thread rules: GUI thread only, except OnMirrorAudioFrame, which runs on the streaming media
// server's thread (direct connection) and touches the recorder and the resampler only under
// recordLock_, and isShowingPicture(), which the command server asks from its own thread.
#pragma once

#include <QImage>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "mirror/pcmframe.h"
#include "mirror/videoframe.h"
#include "ui/resizeinterface.h"

namespace Ui {
class MainWindow;
}
class FramelessHelper;
class MainForm;
class MenuStateForm;
class PcmResampler;
class QAction;
class QMenu;
class QssManager;
class Recorder;
class SocketServer;
class VirtualCameraRegistrar;
class VMicManage;
namespace bg {
class Value;
}

class MainWindow : public QMainWindow, public ResizeInterface {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    bool inCaption(int x, int y) override;

    SocketServer* mirrorServer() const { return mirrorServer_.get(); }
    VMicManage* microphone() const { return mic_.get(); }
    MainForm* mainForm() const;
    MenuStateForm* menuForm() const;
    QSystemTrayIcon* trayIcon() const { return trayIcon_; }
    bool isMicrophoneOpen() const { return micOpen_; }
    // Between a phone's connection and its disconnection.
    bool isConnected() const { return connected_; }
    bool isRecording() const;
    bool isScreenshotPending() const { return screenshotPending_; }
    // A picture is on screen, so a recording or a screenshot can start. Any thread.
    bool isShowingPicture() const { return showingPicture_.load(); }
    // Path of the last screenshot written, empty before the first.
    QString lastScreenshot() const { return lastScreenshot_; }

signals:
    // Audio level of the latest block (emitted on the audio thread, delivered queued).
    void sig_volumeInfo(double radio);
    // The picture as shown (GUI thread).
    void sig_displayFrame(I420FramePtr frame);
    // A recording ended: whether its file was finalised and is not empty (GUI thread).
    void sig_recordFinished(bool ok, QString path);
    // A screenshot request ended: whether the file was written (GUI thread).
    void sig_screenshotFinished(bool ok, QString path);

public slots:
    void OnMirrorVideoFrame(I420FramePtr frame);
    void OnMirrorAudioFrame(PcmFramePtr frame);
    void OnMirrorInConnected(QString serial, QString name);
    void OnMirrorOutConnected(QString serial);
    void OnRecordFrame(bool state);
    void slot_screenShot();
    void slot_actStartCapture();
    void slot_actStopCapture();
    void slot_Record();
    void slot_CaptureFrame(QImage image);
    void slot_FrameShot(QImage image);
    void slot_needInstallMicDLL();
    void slot_openResult(bool result);
    void slot_closeResult(bool result);
    void slot_installResult(bool result);
    void slot_uninstallResult(bool result);
    void slot_activatedSysTrayIcon(QSystemTrayIcon::ActivationReason reason);

private slots:
    void on_pushButton_main_close_clicked();
    void on_pushButton_main_max_clicked();
    void on_pushButton_main_min_clicked();
    void on_pushButton_helpinfo_clicked();

protected:
    void timerEvent(QTimerEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void initMirroring();
    void initVirtualCamera();
    void initTray();
    void onBridgeSignal(const std::string& name, const bg::Value& value);
    // Resamples to 44.1 kHz stereo from the process-wide packet pool; false drops the block.
    bool pcmReSample(const PcmFramePtr& in, PcmFramePtr* out);
    // Hands a captured picture to the recorder, starting it on the first; 0 = stamp it now.
    void recordPicture(const QImage& image, int64_t pictureUs);
    void releaseFreeMemory();
    void startCapture();
    void endCapture();
    void startRecording();
    void stopRecording();
    void closeAndQuit();
    void showWarningLater(const QString& text);
    void restoreFromTray();

    std::unique_ptr<Ui::MainWindow> ui_;
    QPointer<QSystemTrayIcon> trayIcon_;
    QPointer<QMenu> trayMenu_;
    QPointer<QAction> showAction_;
    QPointer<QAction> exitAction_;
    QPointer<MainForm> mainForm_;
    QPointer<MenuStateForm> menuForm_;
    VirtualCameraRegistrar* cameraRegistrar_ = nullptr;  // child of this window
    // Destroyed after the mirror server has stopped, so no audio thread still feeds it.
    std::unique_ptr<VMicManage> mic_;
    std::unique_ptr<SocketServer> mirrorServer_;
    // Guards recorder_, resampler_ and the recorder's use; taken by the audio thread, slot_Record,
    // slot_CaptureFrame and slot_FrameShot.
    mutable std::recursive_mutex recordLock_;
    std::unique_ptr<Recorder> recorder_;
    std::unique_ptr<PcmResampler> resampler_;
    bool recorderStarted_ = false;  // startRecord succeeded for recorder_ (under recordLock_)
    int64_t recordStartTime_ = 0;   // bridge clock, microseconds; 0 = not started
    int recordTimerId_ = 0;
    unsigned recordGeneration_ = 0;  // tells a late capture request which recording it was for
    bool screenshotPending_ = false;
    bool capturing_ = false;  // capture requested from the renderer (GUI thread)
    QList<QWidget*> noDrag_;
    QssManager* qss_ = nullptr;             // child of this window
    FramelessHelper* frameless_ = nullptr;  // child of this window
    uint64_t bridgeSubscription_ = 0;
    bool connected_ = false;
    std::atomic<bool> showingPicture_{false};
    bool micOpen_ = false;
    bool silentMicOpen_ = false;
    bool closing_ = false;
    QString lastScreenshot_;
    // Set on connection; the audio thread reports the first block of each session once.
    std::atomic<bool> firstAudioPending_{false};
};
