#include "kivobridge/bridge.h"
#include "kivobridge/log.h"

#include "app/kivomain.h"

#include <QCoreApplication>
#include <QMetaType>

#include <cstdlib>
#include <cstring>

#include "app/kivocamapplication.h"
#include "app/shutdownsignals.h"
#include "mirror/pcmframe.h"
#include "mirror/videoframe.h"
#include "output/vmicmanage.h"
#include "platform/system.h"
#include "ui/skin.h"

namespace {

constexpr const char* kAppName = "KivoCam";
constexpr const char* kAppVersion = "1.0.2";
constexpr const char* kBuildDate = "2021.11.29";
constexpr const char* kWebAddress = "www.kivocam.com";
constexpr const char* kAppTitle = "Kivo虚拟摄像头";

void removeVirtualAudioDriver(int argc, char** argv) {
    // A bare core object only tells the manager where the driver tool lives: no settings, no
    // window, no instance guard.
    QCoreApplication core(argc, argv);
    VMicManage mic;
    mic.runAction(VMicManage::kCmdRemove);
}

void publishIdentity() {
    bg::AppInfo* info = bg::CD->appInfo();
    info->setName(kAppName);
    info->setVersion(kAppVersion);
    info->setBuildDate(kBuildDate);
    info->setWebAddress(kWebAddress);
    bg::CD->globals()->set("app_title", bg::Value(kAppTitle));
    bg::CD->globals()->set("app_version", bg::Value(kAppVersion));

    // The guard's instance key is derived from these.
    QCoreApplication::setApplicationName(QString::fromLatin1(kAppName));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kAppVersion));
    QCoreApplication::setOrganizationName(QStringLiteral("Kivo"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("kivocam.com"));
}

int runApplication(int argc, char** argv) {
    publishIdentity();
    ShutdownSignals::install();

    KivoCamApplication app(argc, argv);
    if (app.runsAsSecondary()) {
        LOGI("Another instance is running, passing show to it");
        app.sendToPrimary(QByteArrayLiteral("show"), 100);
        return 0;
    }
    ui::initSkin();
    qRegisterMetaType<I420FramePtr>("I420FramePtr");
    qRegisterMetaType<PcmFramePtr>("PcmFramePtr");

    ShutdownSignals watcher(&app);
    LOGI("KivoCam %s started (pid %lld)", kAppVersion,
         static_cast<long long>(QCoreApplication::applicationPid()));
    const int rc = app.exec();
    LOGI("KivoCam exiting with %d", rc);
    return rc;
}

}  // namespace

int kivoMain(int argc, char** argv) {
    platform::settleHeap();
    const bool socketsUp = platform::startupSockets();
    bg::InitBridge(argc, argv);
    // Registered after the bridge's own statics, so it runs after every object of ours is gone.
    std::atexit(bg::UninitBridge);

    int rc = 0;
    if (argc > 1 && std::strcmp(argv[1], "--uninstall") == 0) {
        LOGI("Uninstall requested");
        removeVirtualAudioDriver(argc, argv);
    } else {
        rc = runApplication(argc, argv);
    }
    if (socketsUp) platform::cleanupSockets();
    return rc;
}
