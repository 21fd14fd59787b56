// The program's main window: the face of the hub (MirrorHub), which owns the servers, the outputs
// and the recorder. The window shows what the hub reports (pages, state texts, the picture, the
// level, the recording clock), hands the renderer's captured pictures to it and shows the
// messages, dialogs and the tray. Its slots keep the names the rest of the program knows; the
// ones about mirroring call the hub.
// Thread rules: GUI thread only, except OnMirrorAudioFrame (any one audio thread, as the hub's)
// and isShowingPicture() / isRecording(), which any thread may ask.
#pragma once

#include <QImage>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

#include <cstdint>
#include <memory>
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
class MirrorHub;
class QAction;
class QMenu;
class QssManager;
class SocketServer;
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

    MirrorHub* hub() const { return hub_.get(); }
    SocketServer* mirrorServer() const;
    VMicManage* microphone() const;
    MainForm* mainForm() const;
    MenuStateForm* menuForm() const;
    QSystemTrayIcon* trayIcon() const { return trayIcon_; }
    bool isMicrophoneOpen() const;
    // Between a phone's connection and its disconnection.
    bool isConnected() const;
    bool isRecording() const;
    bool isScreenshotPending() const;
    // A picture is on screen, so a recording or a screenshot can start. Any thread.
    bool isShowingPicture() const;
    // Path of the last screenshot written, empty before the first.
    QString lastScreenshot() const;

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
    void initTray();
    void onBridgeSignal(const std::string& name, const bg::Value& value);
    // What the hub reports, shown.
    void showConnected(const QString& name);
    void showDisconnected();
    void showPictureUp();
    void showRecording(bool on);
    void showRecordFinished(bool made, const QString& path);
    void showScreenshotFinished(bool saved, const QString& path);
    void closeAndQuit();
    void showWarningLater(const QString& text);
    void showInformationLater(const QString& text);
    void restoreFromTray();

    std::unique_ptr<Ui::MainWindow> ui_;
    QPointer<QSystemTrayIcon> trayIcon_;
    QPointer<QMenu> trayMenu_;
    QPointer<QAction> showAction_;
    QPointer<QAction> exitAction_;
    QPointer<MainForm> mainForm_;
    QPointer<MenuStateForm> menuForm_;
    std::unique_ptr<MirrorHub> hub_;
    int recordTimerId_ = 0;
    QList<QWidget*> noDrag_;
    QssManager* qss_ = nullptr;             // child of this window
    FramelessHelper* frameless_ = nullptr;  // child of this window
    uint64_t bridgeSubscription_ = 0;
    bool silentMicOpen_ = false;
    bool closing_ = false;
};
