#include "ui/mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QMoveEvent>
#include <QPushButton>
#include <QElapsedTimer>
#include <QTimer>
#include <QUrl>
#include <QWindowStateChangeEvent>

#include "app/kivocamdata.h"
#include "kivobridge/log.h"
#include "mirror/screenmirrorserver.h"
#include "mirror/socketserver.h"
#include "output/camerablock.h"
#include "output/openglwidget.h"
#include "output/sharememorymanager.h"
#include "output/virtualcameraregistrar.h"
#include "platform/system.h"
#include "output/vmicmanage.h"
#include "record/recorder.h"
#include "ui/framelesshelper.h"
#include "ui/helpinfodialog.h"
#include "ui/mainform.h"
#include "ui/mediafunctions.h"
#include "ui/menustateform.h"
#include "ui/pcmresampler.h"
#include "ui/prompts.h"
#include "ui/qssmanager.h"
#include "ui/skin.h"
#include "ui_mainwindow.h"

namespace {

const char* const kTitle = "Kivo虚拟摄像头";

int64_t clockUsec() {
    return bg::CD ? bg::CD->utility()->clock() : 0;
}

void openLocation(const QString& path) {
    if (bg::CD) bg::CD->utility()->openLocation(path.toUtf8().constData());
}

// Two screenshots within one second would share a name; the later one must not replace the
// earlier file.
QString screenshotPath() {
    QString dir = KivoCamData::instance()->saveDir();
    if (!dir.endsWith('/')) dir += '/';
    const QString stamp = QDateTime::currentDateTime().toString("yyyyMMddhhmmss");
    QString path = dir + QString("KivoCam_shot[%1].png").arg(stamp);
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = dir + QString("KivoCam_shot[%1]_%2.png").arg(stamp).arg(n);
    return path;
}

QString trayText(bool connected) {
    return QString::fromUtf8(connected ? "Kivo虚拟摄像头\n状态：已连接"
                                       : "Kivo虚拟摄像头\n状态：未连接");
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
    setWindowTitle(QString::fromUtf8(kTitle));
    mainForm_ = ui_->widget_main;
    menuForm_ = ui_->widget_menu;

    cameraRegistrar_ = new VirtualCameraRegistrar(this);
    mic_ = std::make_unique<VMicManage>();
    mirrorServer_ = std::make_unique<SocketServer>();
    // The process-wide pool supplies the resampled audio blocks; it is made on first use.
    resampler_ = std::make_unique<PcmResampler>(ScreenMirrorServer::framePool());
    initMirroring();
    bridgeSubscription_ = bg::CD ? bg::CD->signalBus()->subscribe(
                                       "mainWindows.*",
                                       [this](const std::string& name, const bg::Value& value) {
                                           onBridgeSignal(name, value);
                                       })
                                 : 0;
    initTray();
    initVirtualCamera();
    frameless_ = new FramelessHelper(this, this);
    noDrag_ = {ui_->pushButton_helpinfo, ui_->pushButton_main_close, ui_->pushButton_main_min,
               ui_->pushButton_main_max};
    QTimer::singleShot(500, this, [this] {
        if (menuForm_) menuForm_->showFirstTooltip();
    });
    // A line every half minute, so a long run's log shows whether picture memory comes back.
    auto* stats = new QTimer(this);
    connect(stats, &QTimer::timeout, this, [] {
        const pp::Abstract_PacketPool* pool = ScreenMirrorServer::framePool();
        LOGI("[stats]frame pool: %zu bytes held, %zu cached", pool->heldBytes(),
             pool->cachedBytes());
    });
    stats->start(30000);
    LOGI("main window ready");
}

MainWindow::~MainWindow() {
    closing_ = true;
    if (bridgeSubscription_ && bg::CD) bg::CD->signalBus()->unsubscribe(bridgeSubscription_);
    if (mirrorServer_) mirrorServer_->stopServer();
    cameraRegistrar_->registerVirtualCamera(false);
    if (micOpen_) mic_->setOpen(false);
    {
        // A recording still running ends with its file finalised; nothing feeds it any more.
        std::lock_guard<std::recursive_mutex> lock(recordLock_);
        recorder_.reset();
    }
    if (trayIcon_) trayIcon_->hide();
    ui_.reset();
    ShareMemoryManager::instance()->stopWrite();
    ShareMemoryManager::instance()->releaseMemory();
    noDrag_.clear();
    LOGI("main window closed");
}

bool MainWindow::inCaption(int x, int y) {
    if (!ui_) return false;
    return ui::inTitleArea(this, ui_->widget_title, noDrag_, QPoint(x, y));
}

MainForm* MainWindow::mainForm() const {
    return mainForm_;
}

MenuStateForm* MainWindow::menuForm() const {
    return menuForm_;
}

bool MainWindow::isRecording() const {
    std::lock_guard<std::recursive_mutex> lock(recordLock_);
    return recorder_ != nullptr;
}

void MainWindow::initVirtualCamera() {
    cameraRegistrar_->registerVirtualCamera(true);
    ShareMemoryManager::instance()->createMemory(camerablock::kBlockSize);
    ShareMemoryManager::instance()->clearFrame();
}

void MainWindow::initMirroring() {
    KivoCamData* data = KivoCamData::instance();
    if (bg::CD) {
        const std::string title = bg::CD->globals()->get("app_title").toString();
        if (!title.empty()) ui_->label_main_title->setText(QString::fromStdString(title));
        // Without a version (a tool that builds the window) the form's own text stays.
        const std::string version = bg::CD->appInfo()->version();
        if (!version.empty())
            ui_->label_main_version->setText(QString("\nV%1").arg(QString::fromStdString(version)));
    }
    ui_->pushButton_main_max->setCheckable(true);
    ui_->pushButton_helpinfo->setCursor(Qt::PointingHandCursor);

    MirrorHostConfig config;
    config.deviceName = [data] { return data->deviceName(); };
    config.storeIpAddress = [data](const QString& ip) { data->setIpAddress(ip); };
    config.isRecording = [data] { return data->isRecording(); };
    config.canStartRecording = [this] { return isShowingPicture(); };
    mirrorServer_->setHostConfig(std::move(config));

    SocketServer* server = mirrorServer_.get();
    connect(server, &SocketServer::sig_MirrorInConnected, this, &MainWindow::OnMirrorInConnected);
    connect(server, &SocketServer::sig_MirrorOutConnected, this, &MainWindow::OnMirrorOutConnected);
    connect(server, &SocketServer::sig_MirrorVideoFrame, this, &MainWindow::OnMirrorVideoFrame);
    // The camera is staged on the decoding thread: through the GUI thread each picture would
    // wait behind the window's paint. The manager outlives the window, so it is the context.
    connect(server, &SocketServer::sig_MirrorDecodedFrame, ShareMemoryManager::instance(),
            &ShareMemoryManager::setFrame, Qt::DirectConnection);
    // Audio is handled on the network thread: the microphone must not wait for the GUI.
    connect(server, &SocketServer::sig_MirrorAudioFrame, this, &MainWindow::OnMirrorAudioFrame,
            Qt::DirectConnection);
    connect(server, &SocketServer::sig_shotScreen, this, &MainWindow::slot_screenShot);
    connect(server, &SocketServer::sig_recordFrame, this, &MainWindow::OnRecordFrame);
    server->startServer();

    connect(menuForm_, &MenuStateForm::sig_screenShot, this, &MainWindow::slot_screenShot);
    connect(menuForm_, &MenuStateForm::sig_recoderStart, this, &MainWindow::slot_actStartCapture);
    connect(menuForm_, &MenuStateForm::sig_recoderStop, this, &MainWindow::slot_actStopCapture);
    // The screenshot is saved outside the renderer's paint, where a message box may also open.
    connect(mainForm_, &MainForm::sigCaptureFrame, this, &MainWindow::slot_FrameShot,
            Qt::QueuedConnection);
    connect(mainForm_, &MainForm::sigCaptureFrame, this, &MainWindow::slot_CaptureFrame);

    VMicManage* mic = mic_.get();
    connect(mic, &VMicManage::sig_needInstallDLL, this, &MainWindow::slot_needInstallMicDLL);
    connect(mic, &VMicManage::sig_openResult, this, &MainWindow::slot_openResult);
    connect(mic, &VMicManage::sig_closeResult, this, &MainWindow::slot_closeResult);
    connect(mic, &VMicManage::sig_installResult, this, &MainWindow::slot_installResult);
    connect(mic, &VMicManage::sig_uninstallResult, this, &MainWindow::slot_uninstallResult);
    connect(this, &MainWindow::sig_volumeInfo, menuForm_, &MenuStateForm::slot_setVolumnValue);
    if (data->openVirtualMic()) {
        silentMicOpen_ = true;
        mic_->setOpen(true);
    }
}

void MainWindow::initTray() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        LOGI("no system tray on this desktop");
        return;
    }
    trayIcon_ = new QSystemTrayIcon(this);
    connect(trayIcon_, SIGNAL(activated(QSystemTrayIcon::ActivationReason)), this,
            SLOT(slot_activatedSysTrayIcon(QSystemTrayIcon::ActivationReason)));
    showAction_ = new QAction(QString::fromUtf8("显示窗口"), this);
    exitAction_ = new QAction(QString::fromUtf8("退出"), this);
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
        mic_->setOpen(value.toBool());
    }
}

// ---- pictures and sound ----

void MainWindow::OnMirrorVideoFrame(I420FramePtr frame) {
    if (!frame) return;
    if (mainForm_->currentPage() != MainForm::kDisplayPage && connected_) {
        mainForm_->showPage(MainForm::kDisplayPage);
        menuForm_->enableMirrorActions(true);
        showingPicture_ = true;
        LOGI("[OnMirrorVideoFrame]turn into VideoUI...");
    }
    LOGD("[OnMirrorVideoFrame]Video Data: [%d, %d]", frame->width(), frame->height());
    I420FramePtr display = ui::makeDisplayFrame(*frame);
    if (!display) return;
    mainForm_->showFrame(display);
    emit sig_displayFrame(display);
    // A window that is minimised, in the tray or covered paints nothing, so nothing would be
    // captured: the recording and a pending screenshot then take the picture from here.
    if (capturing_ && !mainForm_->rendererPaints()) {
        const QImage picture = ui::toBottomUpRgba(*display);
        recordPicture(picture, display->timeUs());
        slot_FrameShot(picture);
    }
    LOGD("[OnMirrorVideoFrame]Video to virtual Camera scaleFrame: [%d, %d]", display->width(),
         display->height());
}

void MainWindow::OnMirrorAudioFrame(PcmFramePtr frame) {
    if (!frame) return;
    mic_->changePcmFmt(frame);
    if (firstAudioPending_.exchange(false)) {
        LOGI("[OnMirrorAudioFrame]first audio block: %d bytes, %d Hz, %d channels", frame->size(),
             frame->sampleRate(), frame->channels());
    }
    emit sig_volumeInfo(ui::audioLevel(frame->data(), frame->size()));
    std::lock_guard<std::recursive_mutex> lock(recordLock_);
    if (!recorder_) return;
    if (frame->channels() == PcmResampler::kChannels &&
        frame->sampleRate() == PcmResampler::kRate) {
        recorder_->pushPcm(frame);
    } else {
        PcmFramePtr resampled;
        if (pcmReSample(frame, &resampled)) recorder_->pushPcm(resampled);
    }
}

bool MainWindow::pcmReSample(const PcmFramePtr& in, PcmFramePtr* out) {
    return in && resampler_->resample(*in, out);
}

// ---- connection ----

void MainWindow::OnMirrorInConnected(QString serial, QString name) {
    LOGI("[OnMirrorInConnected]Connnectd linked[%s][%s]", serial.toUtf8().constData(),
         name.toUtf8().constData());
    menuForm_->showConnected(name);
    menuForm_->enableVolumeMeter(true);
    mainForm_->showPhoneName(name);
    mainForm_->showPage(MainForm::kLinkPage);
    showingPicture_ = false;
    if (trayIcon_) trayIcon_->setToolTip(trayText(true));
    connected_ = true;
    firstAudioPending_ = true;
    ShareMemoryManager::instance()->startWrite();
}

void MainWindow::OnMirrorOutConnected(QString serial) {
    ShareMemoryManager::instance()->stopWrite();
    LOGI("[OnMirrorOutConnected]Disconnected [%s]", serial.toUtf8().constData());
    showingPicture_ = false;
    // A screenshot asked for during the session must not fire in the next one.
    if (screenshotPending_) {
        LOGI("[OnMirrorOutConnected]pending screenshot dropped");
        screenshotPending_ = false;
    }
    menuForm_->showPhoneName(QString());
    menuForm_->enableMirrorActions(false);  // ends a recording in progress
    menuForm_->enableVolumeMeter(false);
    mainForm_->showPage(MainForm::kWaitPage);
    if (!isRecording()) endCapture();
    if (trayIcon_) trayIcon_->setToolTip(trayText(false));
    connected_ = false;
    releaseFreeMemory();
}

// ---- recording ----

void MainWindow::OnRecordFrame(bool state) {
    if (state && !isShowingPicture()) {
        LOGI("[OnRecordFrame]no picture shown, record request refused");
        return;
    }
    if (state)
        menuForm_->remoteRecordStart();
    else
        menuForm_->remoteRecordStop();
}

void MainWindow::slot_actStartCapture() {
    if (!KivoCamData::instance()->isRecording()) slot_Record();
}

void MainWindow::slot_actStopCapture() {
    if (KivoCamData::instance()->isRecording()) slot_Record();
}

void MainWindow::slot_Record() {
    std::lock_guard<std::recursive_mutex> lock(recordLock_);
    if (!recorder_)
        startRecording();
    else
        stopRecording();
}

void MainWindow::startRecording() {
    recordTimerId_ = startTimer(500, Qt::CoarseTimer);
    recorder_ = std::make_unique<Recorder>();
    recorderStarted_ = false;
    recordStartTime_ = 0;
    KivoCamData::instance()->setRecording(true);
    const unsigned generation = ++recordGeneration_;
    // Bound to this window and to this recording: a quick stop or the window's end cancels it.
    QTimer::singleShot(30, this, [this, generation] {
        if (generation == recordGeneration_ && isRecording()) startCapture();
    });
    LOGI("[slot_Record]recording started");
}

void MainWindow::stopRecording() {
    if (recordTimerId_) killTimer(recordTimerId_);
    recordTimerId_ = 0;
    ++recordGeneration_;
    const QString path = KivoCamData::instance()->currentRecordFile();
    const bool started = recorderStarted_;
    const bool finalised = recorder_->stopRecord();
    recorder_.reset();
    recorderStarted_ = false;
    recordStartTime_ = 0;
    // A screenshot still waiting needs the captured pictures.
    if (!screenshotPending_) endCapture();
    releaseFreeMemory();
    KivoCamData::instance()->setRecording(false);
    menuForm_->setRecordTime("00:00:00");

    const bool made = started && finalised && QFileInfo(path).size() > 0;
    LOGI("[slot_Record]recording stopped: %s [%s]", made ? "saved" : "failed",
         path.toUtf8().constData());
    if (made) {
        auto* mime = new QMimeData;
        mime->setUrls({QUrl::fromLocalFile(path)});
        QApplication::clipboard()->setMimeData(mime);
        if (isVisible()) openLocation(path);
    } else {
        showWarningLater(QString::fromUtf8("录屏失败，未能保存录屏文件！"));
    }
    emit sig_recordFinished(made, started ? path : QString());
}

// A session's decoder and a recording's encoder leave freed memory behind in the C library.
void MainWindow::releaseFreeMemory() {
    QElapsedTimer timer;
    timer.start();
    if (!capturing_) OpenGLWidget::releaseCaptureBuffers();
    platform::releaseFreeMemory();
    LOGI("[memory]free heap pages returned in %lld ms", static_cast<long long>(timer.elapsed()));
}

void MainWindow::slot_CaptureFrame(QImage image) {
    recordPicture(image, mainForm_->renderer()->captureTimeUs());
}

// Pictures are stamped with the time they left the decoder, as the sound is with its arrival:
// the time the screen took to show them would otherwise put the sound ahead of the picture.
void MainWindow::recordPicture(const QImage& image, int64_t pictureUs) {
    std::lock_guard<std::recursive_mutex> lock(recordLock_);
    if (!recorder_ || image.isNull()) return;
    if (recorder_->isStopped()) {
        if (recorderStarted_) return;  // finished or failed; it records one file
        recorderStarted_ = recorder_->startRecord(image.size());
        recordStartTime_ = clockUsec();
        if (!recorderStarted_) return;
    }
    recorder_->pushImage(image, pictureUs > 0 ? pictureUs : clockUsec());
}

void MainWindow::timerEvent(QTimerEvent* event) {
    if (event->timerId() != recordTimerId_) {
        QMainWindow::timerEvent(event);
        return;
    }
    const int64_t start = recordStartTime_;
    const qint64 elapsedMs = start ? (clockUsec() - start) / 1000 : 0;
    menuForm_->setRecordTime(
        QDateTime::fromMSecsSinceEpoch(elapsedMs, Qt::UTC).toString("HH:mm:ss"));
}

// ---- screenshots ----

void MainWindow::slot_screenShot() {
    if (mainForm_->currentPage() != MainForm::kDisplayPage) {
        LOGI("[slot_screenShot]no picture shown, screenshot request dropped");
        return;
    }
    screenshotPending_ = true;
    startCapture();
}

void MainWindow::slot_FrameShot(QImage image) {
    if (!screenshotPending_ || image.isNull()) return;
    LOGI("[slot_FrameShot]cutScreenShoot...");
    const QString path = screenshotPath();
    const bool saved = image.mirrored(false, true).save(path);
    {
        std::lock_guard<std::recursive_mutex> lock(recordLock_);
        if (!recorder_) endCapture();
        screenshotPending_ = false;
    }
    if (saved) {
        lastScreenshot_ = path;
        if (KivoCamData::instance()->openShotDir())
            openLocation(path);
        else
            menuForm_->showScreenshotBubble();
    } else {
        LOGW("[slot_FrameShot]cannot write %s", path.toUtf8().constData());
        QWidget* parent = QApplication::focusWidget();
        QTimer::singleShot(0, this, [parent = QPointer<QWidget>(parent)] {
            ui::showBox(parent, ui::BoxKind::Warning, QString::fromUtf8("提示"),
                        QString::fromUtf8("截屏失败，请重试！"));
        });
    }
    emit sig_screenshotFinished(saved, path);
}

void MainWindow::startCapture() {
    capturing_ = true;
    mainForm_->requestCapture();
}

void MainWindow::endCapture() {
    capturing_ = false;
    if (mainForm_) mainForm_->endCapture();
}

// ---- microphone ----

void MainWindow::slot_needInstallMicDLL() {
    LOGW("[slot_needInstallMicDLL]need install virtualMic DLL");
    if (ui::showBox(this, ui::BoxKind::Question, QString::fromUtf8("提示"),
                    QString::fromUtf8("当前尚未安装虚拟麦克风驱动，需要先安装驱动才可使用，是否"
                                      "安装？\n安装后可能需要重启电脑才能正常使用。"))) {
        silentMicOpen_ = false;
        mic_->runAction(VMicManage::kCmdReinstall);
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
        micOpen_ = true;
        menuForm_->setMicSwitch(true);
        if (silent)
            qDebug() << QString::fromUtf8("已跳过");
        else
            ui::showBox(this, ui::BoxKind::Information, QString::fromUtf8("提示"),
                        QString::fromUtf8("虚拟麦克风已开启！"));
    } else if (ui::showBox(this, ui::BoxKind::Question, QString::fromUtf8("提示"),
                           QString::fromUtf8("虚拟麦克风开启失败！是否需要重新安装驱动？"))) {
        mic_->runAction(VMicManage::kCmdReinstall);
    } else {
        menuForm_->setMicSwitch(false);
    }
}

void MainWindow::slot_closeResult(bool result) {
    if (closing_) return;
    if (result) micOpen_ = false;
    ui::showBox(this, ui::BoxKind::Information, QString::fromUtf8("提示"),
                QString::fromUtf8(result ? "虚拟麦克风已关闭！" : "虚拟麦克风关闭失败！"));
}

void MainWindow::slot_installResult(bool result) {
    if (result) {
        mic_->setOpen(true);
    } else {
        menuForm_->setMicSwitch(false);
        ui::showBox(this, ui::BoxKind::Information, QString::fromUtf8("提示"),
                    QString::fromUtf8("虚拟麦克风驱动安装失败，请重试！"));
    }
}

void MainWindow::slot_uninstallResult(bool result) {
    ui::showBox(
        this, ui::BoxKind::Information, QString::fromUtf8("提示"),
        QString::fromUtf8(result ? "虚拟麦克风驱动卸载成功！" : "虚拟麦克风驱动卸载失败！"));
}

// ---- window ----

void MainWindow::showWarningLater(const QString& text) {
    QTimer::singleShot(0, this, [this, text] {
        ui::showBox(this, ui::BoxKind::Warning, QString::fromUtf8("提示"), text);
    });
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
