#include "app/kivocamapplication.h"

#include <QMetaObject>

#include "ui/mainwindow.h"

KivoCamApplication::KivoCamApplication(int& argc, char** argv)
    : BaseSingleApplication(argc, argv), mainWindow_(nullptr) {
    connect(this, &SingleApplication::receivedMessage, this,
            &KivoCamApplication::onReceivedMessage);
    QMetaObject::invokeMethod(this, "slot_initialize", Qt::QueuedConnection);
}

KivoCamApplication::~KivoCamApplication() {
    if (mainWindow_) delete mainWindow_.data();
}

MainWindow* KivoCamApplication::mainWindow() const {
    return mainWindow_;
}

void KivoCamApplication::slot_initialize() {
    setStyleSheet(QStringLiteral("QWidget:focus{outline: none;}"));
    mainWindow_ = new MainWindow();
    mainWindow_->show();
}

void KivoCamApplication::onReceivedMessage(quint32 instanceId, const QByteArray& message) {
    qDebug("Message from instance %u: %s", instanceId, message.constData());
    if (!message.contains("show") || !mainWindow_) return;
    if (mainWindow_->isMinimized()) mainWindow_->showNormal();
    mainWindow_->show();
    mainWindow_->raise();
    mainWindow_->activateWindow();
}
