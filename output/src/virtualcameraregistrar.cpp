#include "output/virtualcameraregistrar.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include "kivobridge/log.h"

namespace {

void startComponent(const QString& option) {
    const QString program = VirtualCameraRegistrar::componentPath();
    if (!QProcess::startDetached(program, QStringList{option}))
        LOGD("%s %s could not be started", program.toUtf8().constData(),
             option.toUtf8().constData());
}

}  // namespace

QString VirtualCameraRegistrar::componentPath() {
    return QCoreApplication::applicationDirPath() + "/kivocam-vcam";
}

void VirtualCameraRegistrar::registerVirtualCamera(bool reRegister) {
    startComponent(QStringLiteral("--unregister"));
    if (reRegister)
        QTimer::singleShot(kRegisterDelayMs, this,
                           [] { startComponent(QStringLiteral("--register")); });
}
