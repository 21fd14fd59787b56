#include "ui/mainwindow.h"

#include <QDebug>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>

#include "app/kivocamdata.h"
#include "kivobridge/log.h"
#include "mirror/socketserver.h"
#include "output/camerablock.h"
#include "output/sharememorymanager.h"
#include "output/virtualcameraregistrar.h"
#include "output/vmicmanage.h"
#include "ui/mediafunctions.h"

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QString::fromUtf8("Kivo虚拟摄像头"));
    setCentralWidget(new QWidget(this));
    resize(900, 634);
    // Every window, form and server reads its settings from here; load them first.
    KivoCamData::instance();
    cameraRegistrar_ = new VirtualCameraRegistrar(this);
    mic_ = std::make_unique<VMicManage>();
    mirrorServer_ = std::make_unique<SocketServer>();
    initMirroring();
    initMicrophone();
    bridgeSubscription_ = bg::CD ? bg::CD->signalBus()->subscribe(
                                       "mainWindows.*",
                                       [this](const std::string& name, const bg::Value& value) {
                                           onBridgeSignal(name, value);
                                       })
                                 : 0;
    initVirtualCamera();
    LOGI("main window ready");
}

MainWindow::~MainWindow() {
    closing_ = true;
    if (bridgeSubscription_ && bg::CD) bg::CD->signalBus()->unsubscribe(bridgeSubscription_);
    if (mirrorServer_) mirrorServer_->stopServer();
    cameraRegistrar_->registerVirtualCamera(false);
    if (micOpen_) mic_->setOpen(false);
    ShareMemoryManager::instance()->stopWrite();
    ShareMemoryManager::instance()->releaseMemory();
    LOGI("main window closed");
}

void MainWindow::initVirtualCamera() {
    cameraRegistrar_->registerVirtualCamera(true);
    ShareMemoryManager::instance()->createMemory(camerablock::kBlockSize);
    ShareMemoryManager::instance()->clearFrame();
}

void MainWindow::initMirroring() {
    KivoCamData* data = KivoCamData::instance();
    MirrorHostConfig config;
    config.deviceName = [data] { return data->deviceName(); };
    config.storeIpAddress = [data](const QString& ip) { data->setIpAddress(ip); };
    config.isRecording = [data] { return data->isRecording(); };
    mirrorServer_->setHostConfig(std::move(config));

    SocketServer* server = mirrorServer_.get();
    connect(server, &SocketServer::sig_MirrorInConnected, this, &MainWindow::OnMirrorInConnected);
    connect(server, &SocketServer::sig_MirrorOutConnected, this, &MainWindow::OnMirrorOutConnected);
    connect(server, &SocketServer::sig_MirrorVideoFrame, this, &MainWindow::OnMirrorVideoFrame);
    // Audio is handled on the network thread: the microphone must not wait for the GUI.
    connect(server, &SocketServer::sig_MirrorAudioFrame, this, &MainWindow::OnMirrorAudioFrame,
            Qt::DirectConnection);
    connect(server, &SocketServer::sig_shotScreen, this, &MainWindow::slot_screenShot);
    connect(server, &SocketServer::sig_recordFrame, this, &MainWindow::OnRecordFrame);
    server->startServer();
}

void MainWindow::OnMirrorVideoFrame(I420FramePtr frame) {
    if (!frame) return;
    if (!showingVideo_ && connected_) {
        showingVideo_ = true;
        LOGI("[OnMirrorVideoFrame]turn into VideoUI...");
    }
    LOGD("[OnMirrorVideoFrame]Video Data: [%d, %d]", frame->width(), frame->height());
    I420FramePtr display = ui::makeDisplayFrame(*frame);
    if (!display) return;
    emit sig_displayFrame(display);
    LOGD("[OnMirrorVideoFrame]Video to virtual Camera scaleFrame: [%d, %d]", display->width(),
         display->height());
    if (camerablock::isCameraSize(display->width(), display->height()))
        ShareMemoryManager::instance()->setFrame(display);
}

void MainWindow::initMicrophone() {
    VMicManage* mic = mic_.get();
    connect(mic, &VMicManage::sig_needInstallDLL, this, &MainWindow::slot_needInstallMicDLL);
    connect(mic, &VMicManage::sig_openResult, this, &MainWindow::slot_openResult);
    connect(mic, &VMicManage::sig_closeResult, this, &MainWindow::slot_closeResult);
    connect(mic, &VMicManage::sig_installResult, this, &MainWindow::slot_installResult);
    connect(mic, &VMicManage::sig_uninstallResult, this, &MainWindow::slot_uninstallResult);
    if (KivoCamData::instance()->openVirtualMic()) {
        silentMicOpen_ = true;
        mic_->setOpen(true);
    }
}

void MainWindow::onBridgeSignal(const std::string& name, const bg::Value& value) {
    if (name == "mainWindows.wintop") {
        setWindowFlag(Qt::WindowStaysOnTopHint, value.toBool());
        show();  // changing the flags hides the window
    } else if (name == "mainWindows.virtualMic") {
        mic_->setOpen(value.toBool());
    }
}

void MainWindow::setMicSwitch(bool on) {
    KivoCamData* data = KivoCamData::instance();
    data->setOpenVirtualMic(on);
    data->save();
}

bool MainWindow::ask(const QString& text) {
    QMessageBox box(QMessageBox::Information, QString::fromUtf8("提示"), text,
                    QMessageBox::NoButton, this);
    QPushButton* yes = box.addButton(QString::fromUtf8("是"), QMessageBox::YesRole);
    QPushButton* no = box.addButton(QString::fromUtf8("否"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

void MainWindow::inform(const QString& text) {
    QMessageBox::information(this, QString::fromUtf8("提示"), text, QMessageBox::Ok);
}

void MainWindow::slot_needInstallMicDLL() {
    LOGW("[slot_needInstallMicDLL]need install virtualMic DLL");
    if (ask(QString::fromUtf8("当前尚未安装虚拟麦克风驱动，需要先安装驱动才可使用，是否安装？\n"
                              "安装后可能需要重启电脑才能正常使用。"))) {
        silentMicOpen_ = false;
        mic_->runAction(VMicManage::kCmdReinstall);
    } else {
        setMicSwitch(false);
    }
}

void MainWindow::slot_openResult(bool result) {
    LOGI("[slot_openResult]create virtualMic DLL: [%d]", result ? 1 : 0);
    if (result) {
        micOpen_ = true;
        setMicSwitch(true);
        if (silentMicOpen_) {
            qDebug() << QString::fromUtf8("已跳过");
            silentMicOpen_ = false;
        } else {
            inform(QString::fromUtf8("虚拟麦克风已开启！"));
        }
    } else if (ask(QString::fromUtf8("虚拟麦克风开启失败！是否需要重新安装驱动？"))) {
        mic_->runAction(VMicManage::kCmdReinstall);
    } else {
        setMicSwitch(false);
    }
}

void MainWindow::slot_closeResult(bool result) {
    if (closing_) return;
    if (result) micOpen_ = false;
    inform(result ? QString::fromUtf8("虚拟麦克风已关闭！") : QString());
}

void MainWindow::slot_installResult(bool result) {
    if (result) {
        mic_->setOpen(true);
    } else {
        setMicSwitch(false);
        inform(QString::fromUtf8("虚拟麦克风驱动安装失败，请重试！"));
    }
}

void MainWindow::slot_uninstallResult(bool result) {
    inform(result ? QString::fromUtf8("虚拟麦克风驱动卸载成功！")
                  : QString::fromUtf8("虚拟麦克风驱动卸载失败！"));
}

void MainWindow::OnMirrorAudioFrame(PcmFramePtr frame) {
    if (!frame) return;
    mic_->changePcmFmt(frame);
    if (firstAudioPending_.exchange(false)) {
        LOGI("[OnMirrorAudioFrame]first audio block: %d bytes, %d Hz, %d channels", frame->size(),
             frame->sampleRate(), frame->channels());
    }
    emit sig_volumeInfo(ui::audioLevel(frame->data(), frame->size()));
}

void MainWindow::OnMirrorInConnected(QString serial, QString name) {
    LOGI("[OnMirrorInConnected]Connnectd linked[%s][%s]", serial.toUtf8().constData(),
         name.toUtf8().constData());
    connected_ = true;
    firstAudioPending_ = true;
    ShareMemoryManager::instance()->startWrite();
}

void MainWindow::OnMirrorOutConnected(QString serial) {
    ShareMemoryManager::instance()->stopWrite();
    LOGI("[OnMirrorOutConnected]Disconnected [%s]", serial.toUtf8().constData());
    connected_ = false;
    showingVideo_ = false;
}

void MainWindow::OnRecordFrame(bool state) {
    // The record button of the bottom bar turns this into a recording once the forms exist.
    LOGI("[OnRecordFrame]phone asks to %s recording", state ? "start" : "stop");
}

void MainWindow::slot_screenShot() {
    // The next picture captured by the renderer is saved once the picture area exists.
    screenshotPending_ = true;
    LOGI("[slot_screenShot]screenshot requested");
}
