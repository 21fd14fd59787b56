#include "kivobridge/bridge.h"
#include "kivobridge/log.h"

#include "app/kivomain.h"

#include <QCoreApplication>
#include <QMetaType>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/commandline.h"
#include "app/headlessrun.h"
#include "app/kivocamapplication.h"
#include "app/shutdownsignals.h"
#include "mirror/pcmframe.h"
#include "mirror/videoframe.h"
#include "output/vmicmanage.h"
#include "platform/display.h"
#include "platform/system.h"
#include "ui/language.h"
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

// Qt aborts when it finds no display; say what to do instead, before it tries.
bool displayAvailable() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform && std::strncmp(platform, "xcb", 3) != 0) return true;
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (!platform && wayland && *wayland) return true;
    const char* display = std::getenv("DISPLAY");
    return display && platform::x11DisplayReachable(display);
}

int runApplication(int argc, char** argv) {
    publishIdentity();
    ShutdownSignals::install();
    if (!displayAvailable()) {
        LOGE("cannot open the display");
        std::fprintf(stderr,
                     "kivocam: cannot open the display; use --headless to run without a window\n");
        return 1;
    }

    KivoCamApplication app(argc, argv);
    if (app.runsAsSecondary()) {
        LOGI("Another instance is running, passing show to it");
        // A busy machine can miss the short time-out; the user still expects the window.
        if (!app.sendToPrimary(QByteArrayLiteral("show"), 100) &&
            !app.sendToPrimary(QByteArrayLiteral("show"), 1000))
            LOGW("The running instance could not be reached to show itself");
        return 0;
    }
    ui::initSkin();
    ui::useLanguage(ui::desktopLanguage());
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
    const kivo::CommandLine line = kivo::parseCommandLine(argc, argv);
    switch (line.mode) {
        case kivo::CommandLine::Mode::Uninstall:
            LOGI("Uninstall requested");
            removeVirtualAudioDriver(argc, argv);
            break;
        case kivo::CommandLine::Mode::Help:
            std::fputs(kivo::usageText().c_str(), stdout);
            break;
        case kivo::CommandLine::Mode::Version:
            std::printf("%s %s (%s)\n", kAppName, kAppVersion, kBuildDate);
            break;
        case kivo::CommandLine::Mode::Unknown:
            std::fprintf(stderr,
                         "kivocam: unknown option '%s'\nTry 'kivocam --help' for the options.\n",
                         line.unknown.c_str());
            rc = 2;
            break;
        case kivo::CommandLine::Mode::Headless:
            publishIdentity();
            ShutdownSignals::install();
            rc = kivo::runHeadless(argc, argv);
            break;
        case kivo::CommandLine::Mode::Window:
            rc = runApplication(argc, argv);
            break;
    }
    if (socketsUp) platform::cleanupSockets();
    return rc;
}
