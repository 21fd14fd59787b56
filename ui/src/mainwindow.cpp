#include "ui/mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDebug>
#include <QMenu>
#include <QMimeData>
#include <QMoveEvent>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QWindowStateChangeEvent>

#include "config/kivocamdata.h"
#include "hub/mirrorhub.h"
#include "kivobridge/log.h"
#include "mirror/socketserver.h"
#include "output/openglwidget.h"
#include "output/vmicmanage.h"
#include "ui/framelesshelper.h"
#include "ui/helpinfodialog.h"
#include "ui/mainform.h"
#include "ui/menustateform.h"
#include "ui/prompts.h"
#include "ui/qssmanager.h"
#include "ui/skin.h"
#include "ui_mainwindow.h"

namespace {

void openLocation(const QString& path) {
    if (bg::CD) bg::CD->utility()->openLocation(path.toUtf8().constData());
}

QString trayText(bool connected) {
    return connected ? QCoreApplication::translate("MainWindow", "Kivo虚拟摄像头\n状态：已连接")
                     : QCoreApplication::translate("MainWindow", "Kivo虚拟摄像头\n状态：未连接");
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui_(new Ui::MainWindow) {
    ui::initSkin();
    // Every window, form and server reads its settings from here; load them first.
    KivoCamData::instance();
    ui_->setupUi(this);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint);
    qss_ = new QssManager(this);
    qss_->loadStyleSheet(":/qss/mainwindow.qss");
    setWindowTitle(tr("Kivo虚拟摄像头"));
    mainForm_ = ui_->widget_main;
    menuForm_ = ui_->widget_menu;

    hub_ = std::make_unique<MirrorHub>();
    initMirroring();
    bridgeSubscription_ = bg::CD ? bg::CD->signalBus()->subscribe(
                                       "mainWindows.*",
                                       [this](const std::string& name, const bg::Value& value) {
                                           onBridgeSignal(name, value);
                                       })
                                 : 0;
    initTray();
    frameless_ = new FramelessHelper(this, this);
    noDrag_ = {ui_->pushButton_helpinfo, ui_->pushButton_main_close, ui_->pushButton_main_min,
               ui_->pushButton_main_max};
    QTimer::singleShot(500, this, [this] {
        if (menuForm_) menuForm_->showFirstTooltip();
    });
    LOGI("main window ready");
}

MainWindow::~MainWindow() {
    closing_ = true;
    if (bridgeSubscription_ && bg::CD) bg::CD->signalBus()->unsubscribe(bridgeSubscription_);
    // The hub winds down (finalising a recording) without reporting to a window half gone;
    // only the microphone's close result still arrives, and closing_ silences it.
    hub_->disconnect(this);
    hub_->setCaptureHooks({});
    hub_.reset();
    if (trayIcon_) trayIcon_->hide();
    ui_.reset();
    noDrag_.clear();
    LOGI("main window closed");
}

bool MainWindow::inCaption(int x, int y) {
    if (!ui_) return false;
    return ui::inTitleArea(this, ui_->widget_title, noDrag_, QPoint(x, y));
}

SocketServer* MainWindow::mirrorServer() const {
    return hub_->mirrorServer();
}

VMicManage* MainWindow::microphone() const {
    return hub_->microphone();
}

MainForm* MainWindow::mainForm() const {
    return mainForm_;
}

MenuStateForm* MainWindow::menuForm() const {
    return menuForm_;
}

bool MainWindow::isMicrophoneOpen() const {
    return hub_->isMicrophoneOpen();
}

bool MainWindow::isConnected() const {
    return hub_->isConnected();
}

bool MainWindow::isRecording() const {
    return hub_->isRecording();
}

bool MainWindow::isScreenshotPending() const {
    return hub_->isScreenshotPending();
}

bool MainWindow::isShowingPicture() const {
    return hub_->isShowingPicture();
}

QString MainWindow::lastScreenshot() const {
    return hub_->lastScreenshot();
}

void MainWindow::initMirroring() {
    if (bg::CD) {
        // Without a version (a tool that builds the window) the form's own text stays.
        const std::string version = bg::CD->appInfo()->version();
        if (!version.empty())
            ui_->label_main_version->setText(QString("\nV%1").arg(QString::fromStdString(version)));
    }
    ui_->pushButton_main_max->setCheckable(true);
    ui_->pushButton_helpinfo->setCursor(Qt::PointingHandCursor);

    MirrorHub* hub = hub_.get();
    // The renderer hands over what it paints; while it paints nothing the hub takes the stream.
    MirrorHub::CaptureHooks hooks;
    hooks.request = [this] {
        if (mainForm_) mainForm_->requestCapture();
    };
    hooks.end = [this] {
        if (mainForm_) mainForm_->endCapture();
    };
    hooks.paints = [this] { return mainForm_ && mainForm_->rendererPaints(); };
    hub->setCaptureHooks(std::move(hooks));
    connect(hub, &MirrorHub::connected, this,
            [this](const QString&, const QString& name) { showConnected(name); });
    connect(hub, &MirrorHub::disconnected, this, [this] { showDisconnected(); });
    connect(hub, &MirrorHub::pictureShowing, this, [this] { showPictureUp(); });
    connect(hub, &MirrorHub::displayFrame, this, [this](const I420FramePtr& frame) {
        mainForm_->showFrame(frame);
        emit sig_displayFrame(frame);
    });
    // Emitted on the audio thread; the window's own signal carries it on, queued to the bar.
    connect(hub, &MirrorHub::volumeInfo, this, &MainWindow::sig_volumeInfo, Qt::DirectConnection);
    connect(hub, &MirrorHub::recordingChanged, this, [this](bool on) { showRecording(on); });
    connect(hub, &MirrorHub::recordFinished, this,
            [this](bool ok, const QString& path) { showRecordFinished(ok, path); });
    connect(hub, &MirrorHub::recordStartFailed, this,
            [this] { showWarningLater(tr("录屏失败，无法创建录屏文件，请检查保存目录！")); });
    connect(hub, &MirrorHub::screenshotFinished, this,
            [this](bool ok, const QString& path) { showScreenshotFinished(ok, path); });
    connect(hub, &MirrorHub::savedElsewhere, this, [this](const QString& folder) {
        showInformationLater(tr("保存目录无法写入，文件已保存到：\n%1").arg(folder));
    });

    connect(menuForm_, &MenuStateForm::sig_screenShot, this, &MainWindow::slot_screenShot);
    connect(menuForm_, &MenuStateForm::sig_recoderStart, this, &MainWindow::slot_actStartCapture);
    connect(menuForm_, &MenuStateForm::sig_recoderStop, this, &MainWindow::slot_actStopCapture);
    // The screenshot is saved outside the renderer's paint, where a message box may also open.
    connect(mainForm_, &MainForm::sigCaptureFrame, this, &MainWindow::slot_FrameShot,
            Qt::QueuedConnection);
    connect(mainForm_, &MainForm::sigCaptureFrame, this, &MainWindow::slot_CaptureFrame);

    VMicManage* mic = hub->microphone();
    connect(mic, &VMicManage::sig_needInstallDLL, this, &MainWindow::slot_needInstallMicDLL);
    connect(mic, &VMicManage::sig_openResult, this, &MainWindow::slot_openResult);
    connect(mic, &VMicManage::sig_closeResult, this, &MainWindow::slot_closeResult);
    connect(mic, &VMicManage::sig_installResult, this, &MainWindow::slot_installResult);
    connect(mic, &VMicManage::sig_uninstallResult, this, &MainWindow::slot_uninstallResult);
    connect(this, &MainWindow::sig_volumeInfo, menuForm_, &MenuStateForm::slot_setVolumnValue);
    silentMicOpen_ = KivoCamData::instance()->openVirtualMic();
    hub->start();
}

void MainWindow::initTray() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        LOGI("no system tray on this desktop");
        return;
    }
    trayIcon_ = new QSystemTrayIcon(this);
    connect(trayIcon_, SIGNAL(activated(QSystemTrayIcon::ActivationReason)), this,
            SLOT(slot_activatedSysTrayIcon(QSystemTrayIcon::ActivationReason)));
    showAction_ = new QAction(tr("显示窗口"), this);
    exitAction_ = new QAction(tr("退出"), this);
    connect(showAction_, &QAction::triggered, this, [this] {
        qDebug() << "QAction::triggered";
        restoreFromTray();
    });
    connect(exitAction_, &QAction::triggered, this, &MainWindow::closeAndQuit);
    trayMenu_ = new QMenu(this);
    trayMenu_->addAction(showAction_);
    trayMenu_->addAction(exitAction_);
    trayIcon_->setContextMenu(trayMenu_);
    trayIcon_->setIcon(QIcon(":/image/logo_kivocam.png"));
    trayIcon_->setToolTip(trayText(false));
    trayIcon_->show();
}

void MainWindow::onBridgeSignal(const std::string& name, const bg::Value& value) {
    if (name == "mainWindows.wintop") {
        setWindowFlag(Qt::WindowStaysOnTopHint, value.toBool());
        show();  // changing the flags hides the window
    } else if (name == "mainWindows.virtualMic") {
        hub_->microphone()->setOpen(value.toBool());
    }
}

// ---- what the servers report ----

void MainWindow::OnMirrorVideoFrame(I420FramePtr frame) {
    hub_->onVideoFrame(frame);
}

void MainWindow::OnMirrorAudioFrame(PcmFramePtr frame) {
    hub_->onAudioFrame(frame);
}

void MainWindow::OnMirrorInConnected(QString serial, QString name) {
    hub_->onConnected(serial, name);
}

void MainWindow::OnMirrorOutConnected(QString serial) {
    hub_->onDisconnected(serial);
}

void MainWindow::OnRecordFrame(bool state) {
    hub_->onRecordRequest(state);
}

void MainWindow::showConnected(const QString& name) {
    menuForm_->showConnected(name);
    menuForm_->enableVolumeMeter(true);
    mainForm_->showPhoneName(name);
    mainForm_->showPage(MainForm::kLinkPage);
    if (trayIcon_) trayIcon_->setToolTip(trayText(true));
}

void MainWindow::showDisconnected() {
    menuForm_->showPhoneName(QString());
    menuForm_->enableMirrorActions(false);
    menuForm_->enableVolumeMeter(false);
    mainForm_->showPage(MainForm::kWaitPage);
    if (trayIcon_) trayIcon_->setToolTip(trayText(false));
}

void MainWindow::showPictureUp() {
    mainForm_->showPage(MainForm::kDisplayPage);
    menuForm_->enableMirrorActions(true);
}

// ---- recording ----

void MainWindow::slot_actStartCapture() {
    if (!hub_->isRecording()) slot_Record();
}

void MainWindow::slot_actStopCapture() {
    if (hub_->isRecording()) slot_Record();
}

void MainWindow::slot_Record() {
    if (!hub_->isRecording())
        hub_->startRecording();
    else
        hub_->stopRecording();
}

// The button follows the hub, whoever started or ended the recording (button, phone, a failed
// start, a disconnection). Pressing it from here re-enters the slots above, which then find the
// hub already in that state.
void MainWindow::showRecording(bool on) {
    auto* button = menuForm_->findChild<QPushButton*>("pushButton_menu_record");
    const bool pressed = button && button->isChecked();
    if (on && !pressed) menuForm_->remoteRecordStart();
    if (!on && pressed) menuForm_->remoteRecordStop();
    if (on) {
        if (!recordTimerId_) recordTimerId_ = startTimer(500, Qt::CoarseTimer);
    } else {
        if (recordTimerId_) killTimer(recordTimerId_);
        recordTimerId_ = 0;
        menuForm_->setRecordTime("00:00:00");
    }
}

void MainWindow::showRecordFinished(bool made, const QString& path) {
    if (made) {
        auto* mime = new QMimeData;
        mime->setUrls({QUrl::fromLocalFile(path)});
        QApplication::clipboard()->setMimeData(mime);
        if (isVisible()) openLocation(path);
    } else {
        showWarningLater(tr("录屏失败，未能保存录屏文件！"));
    }
    emit sig_recordFinished(made, path);
}

void MainWindow::slot_CaptureFrame(QImage image) {
    hub_->recordPicture(image, mainForm_->renderer()->captureTimeUs());
}

void MainWindow::timerEvent(QTimerEvent* event) {
    if (event->timerId() != recordTimerId_) {
        QMainWindow::timerEvent(event);
        return;
    }
    menuForm_->setRecordTime(
        QDateTime::fromMSecsSinceEpoch(hub_->recordElapsedMs(), Qt::UTC).toString("HH:mm:ss"));
}

// ---- screenshots ----

void MainWindow::slot_screenShot() {
    hub_->requestScreenshot();
}

void MainWindow::slot_FrameShot(QImage image) {
    hub_->shotPicture(image);
}

void MainWindow::showScreenshotFinished(bool saved, const QString& path) {
    if (saved) {
        if (KivoCamData::instance()->openShotDir())
            openLocation(path);
        else
            menuForm_->showScreenshotBubble();
    } else {
        QWidget* parent = QApplication::focusWidget();
        QTimer::singleShot(0, this, [parent = QPointer<QWidget>(parent)] {
            ui::showBox(parent, ui::BoxKind::Warning, tr("提示"), tr("截屏失败，请重试！"));
        });
    }
    emit sig_screenshotFinished(saved, path);
}

// ---- microphone ----

void MainWindow::slot_needInstallMicDLL() {
    LOGW("[slot_needInstallMicDLL]need install virtualMic DLL");
    if (ui::showBox(this, ui::BoxKind::Question, tr("提示"),
                    tr("当前尚未安装虚拟麦克风驱动，需要先安装驱动才可使用，是否"
                       "安装？\n安装后可能需要重启电脑才能正常使用。"))) {
        silentMicOpen_ = false;
        hub_->microphone()->runAction(VMicManage::kCmdReinstall);
    } else {
        menuForm_->setMicSwitch(false);
    }
}

void MainWindow::slot_openResult(bool result) {
    LOGI("[slot_openResult]create virtualMic DLL: [%d]", result ? 1 : 0);
    // Only the open that the saved setting asked for at start-up goes unannounced.
    const bool silent = silentMicOpen_;
    silentMicOpen_ = false;
    if (result) {
        menuForm_->setMicSwitch(true);
        if (silent)
            qDebug() << QString::fromUtf8("已跳过");
        else
            ui::showBox(this, ui::BoxKind::Information, tr("提示"), tr("虚拟麦克风已开启！"));
    } else if (ui::showBox(this, ui::BoxKind::Question, tr("提示"),
                           tr("虚拟麦克风开启失败！是否需要重新安装驱动？"))) {
        hub_->microphone()->runAction(VMicManage::kCmdReinstall);
    } else {
        menuForm_->setMicSwitch(false);
    }
}

void MainWindow::slot_closeResult(bool result) {
    if (closing_) return;
    ui::showBox(this, ui::BoxKind::Information, tr("提示"),
                result ? tr("虚拟麦克风已关闭！") : tr("虚拟麦克风关闭失败！"));
}

void MainWindow::slot_installResult(bool result) {
    if (result) {
        hub_->microphone()->setOpen(true);
    } else {
        menuForm_->setMicSwitch(false);
        ui::showBox(this, ui::BoxKind::Information, tr("提示"),
                    tr("虚拟麦克风驱动安装失败，请重试！"));
    }
}

void MainWindow::slot_uninstallResult(bool result) {
    ui::showBox(this, ui::BoxKind::Information, tr("提示"),
                result ? tr("虚拟麦克风驱动卸载成功！") : tr("虚拟麦克风驱动卸载失败！"));
}

// ---- window ----

void MainWindow::showWarningLater(const QString& text) {
    QTimer::singleShot(0, this,
                       [this, text] { ui::showBox(this, ui::BoxKind::Warning, tr("提示"), text); });
}

void MainWindow::showInformationLater(const QString& text) {
    QTimer::singleShot(
        0, this, [this, text] { ui::showBox(this, ui::BoxKind::Information, tr("提示"), text); });
}

void MainWindow::closeAndQuit() {
    close();
    QTimer::singleShot(10, [] { QCoreApplication::exit(0); });
}

void MainWindow::restoreFromTray() {
    if (isMinimized()) showNormal();
    show();
    activateWindow();
}

void MainWindow::slot_activatedSysTrayIcon(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) restoreFromTray();
}

void MainWindow::on_pushButton_main_close_clicked() {
    closeAndQuit();
}

void MainWindow::on_pushButton_main_max_clicked() {
    if (isMaximized())
        showNormal();
    else
        showMaximized();
    // The window manager has the last word: the button follows the state it reports.
    ui_->pushButton_main_max->setChecked(isMaximized());
}

void MainWindow::on_pushButton_main_min_clicked() {
    showMinimized();
}

void MainWindow::on_pushButton_helpinfo_clicked() {
    HelpInfoDialog dialog(this);
    dialog.exec();
}

void MainWindow::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    if (menuForm_ && menuForm_->firstTooltip()) menuForm_->showFirstTooltip();
}

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && ui_)
        ui_->pushButton_main_max->setChecked(isMaximized());
}
