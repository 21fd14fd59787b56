#include "ui/mainwindow.h"

#include <QWidget>

#include "app/kivocamdata.h"
#include "kivobridge/log.h"
#include "mirror/socketserver.h"
#include "output/camerablock.h"
#include "output/sharememorymanager.h"
#include "output/virtualcameraregistrar.h"
#include "ui/mediafunctions.h"

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QString::fromUtf8("Kivo虚拟摄像头"));
    setCentralWidget(new QWidget(this));
    resize(900, 634);
    // Every window, form and server reads its settings from here; load them first.
    KivoCamData::instance();
    cameraRegistrar_ = new VirtualCameraRegistrar(this);
    mirrorServer_ = std::make_unique<SocketServer>();
    initMirroring();
    initVirtualCamera();
    LOGI("main window ready");
}

MainWindow::~MainWindow() {
    if (mirrorServer_) mirrorServer_->stopServer();
    cameraRegistrar_->registerVirtualCamera(false);
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

void MainWindow::OnMirrorAudioFrame(PcmFramePtr frame) {
    if (!frame) return;
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
