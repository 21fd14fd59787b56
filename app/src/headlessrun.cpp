#include "app/headlessrun.h"

#include <QCoreApplication>
#include <QMetaType>

#include <cstdio>

#include "app/instanceguard.h"
#include "app/shutdownsignals.h"
#include "hub/mirrorhub.h"
#include "kivobridge/log.h"
#include "output/vmicmanage.h"

namespace kivo {

namespace {

// What the window would show as messages, as log lines.
void logWhatHappens(MirrorHub* hub) {
    QObject::connect(hub, &MirrorHub::connected, hub, [](const QString&, const QString& name) {
        LOGI("[headless]phone connected: %s", name.toUtf8().constData());
    });
    QObject::connect(hub, &MirrorHub::disconnected, hub,
                     [] { LOGI("[headless]phone disconnected"); });
    QObject::connect(hub, &MirrorHub::recordingChanged, hub,
                     [](bool on) { LOGI("[headless]recording %s", on ? "on" : "off"); });
    QObject::connect(hub, &MirrorHub::recordStartFailed, hub, [](const QString& path) {
        LOGW("[headless]recording could not start: %s", path.toUtf8().constData());
    });
    QObject::connect(hub, &MirrorHub::recordFinished, hub, [](bool ok, const QString& path) {
        if (ok)
            LOGI("[headless]recording saved: %s", path.toUtf8().constData());
        else
            LOGW("[headless]recording failed, no file saved");
    });
    QObject::connect(hub, &MirrorHub::screenshotFinished, hub, [](bool ok, const QString& path) {
        if (ok)
            LOGI("[headless]screenshot saved: %s", path.toUtf8().constData());
        else
            LOGW("[headless]screenshot failed: %s", path.toUtf8().constData());
    });
    VMicManage* mic = hub->microphone();
    QObject::connect(mic, &VMicManage::sig_needInstallDLL, hub, [] {
        LOGW("[headless]virtual microphone driver not installed; start with a window to set it up");
    });
    QObject::connect(mic, &VMicManage::sig_openResult, hub, [](bool ok) {
        LOGI("[headless]virtual microphone %s", ok ? "open" : "could not be opened");
    });
}

}  // namespace

int runHeadless(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    InstanceGuard guard(true, InstanceGuard::PerUser, 1000);
    if (guard.runsAsSecondary()) {
        // Nothing is sent: the running instance is left exactly as it is.
        LOGI("Another instance is running, headless start ends");
        std::fprintf(stderr, "kivocam: KivoCam is already running; not starting another.\n");
        return 1;
    }
    QObject::connect(&guard, &InstanceGuard::receivedMessage, &app,
                     [](quint32 instanceId, const QByteArray& message) {
                         LOGI("Message from instance %u: %s (no window to show)", instanceId,
                              message.constData());
                     });
    qRegisterMetaType<I420FramePtr>("I420FramePtr");
    qRegisterMetaType<PcmFramePtr>("PcmFramePtr");

    ShutdownSignals watcher(&app);
    int rc = 0;
    {
        MirrorHub hub;
        logWhatHappens(&hub);
        hub.start();
        LOGI("KivoCam %s started headless (pid %lld)",
             QCoreApplication::applicationVersion().toUtf8().constData(),
             static_cast<long long>(QCoreApplication::applicationPid()));
        rc = app.exec();
        LOGI("headless run ending");
    }
    LOGI("KivoCam exiting with %d", rc);
    return rc;
}

}  // namespace kivo
