// Helper program for the application-core tests: runs the single-instance guard or the
// configuration store in a process of its own and reports what happened as lines on stdout.
//   kivo_app_probe key <app name>
//   kivo_app_probe guard <app name> [--no-secondary] [--notify] [--send <message>]
//   kivo_app_probe config dump | set-device <hex utf-8> | set-savedir <hex utf-8> | set-ontop
// Values on the command line are hex-encoded UTF-8 so that no locale gets in the way.
#include "kivobridge/bridge.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/kivocamdata.h"
#include "app/shutdownsignals.h"
#include "app/singleapplication.h"

namespace {

void say(const QString& line) {
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

void dumpConfig(KivoCamData* d) {
    say("device=" + d->deviceName());
    say("savedir=" + d->saveDir());
    say(QStringLiteral("vmic=%1").arg(d->openVirtualMic()));
    say(QStringLiteral("shotdir=%1").arg(d->openShotDir()));
    say(QStringLiteral("firstopen=%1").arg(d->firstOpen()));
    say(QStringLiteral("ontop=%1").arg(d->isWindowOnTop()));
    say(QStringLiteral("recording=%1").arg(d->isRecording()));
    say(QStringLiteral("ip=%1").arg(d->ipAddress()));
    const bool cast =
        d->qt_metacast("kivo::BaseData") == static_cast<kivo::BaseData*>(d) && d->ipAddress() == "";
    say(QStringLiteral("basedata=%1").arg(cast));
}

int runConfig(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString cmd = argc > 2 ? QString::fromLatin1(argv[2]) : QString();
    const QString value =
        argc > 3 ? QString::fromUtf8(QByteArray::fromHex(QByteArray(argv[3]))) : QString();
    KivoCamData* d = KivoCamData::instance();
    if (cmd == "set-device") {
        d->setDeviceName(value);
    } else if (cmd == "set-savedir") {
        d->setSaveDir(value);
        d->save();
    } else if (cmd == "set-ontop") {
        d->setWindowOnTop(true);
        d->setRecording(true);
        d->save();
    } else if (cmd != "dump") {
        return 2;
    }
    dumpConfig(d);
    return 0;
}

int runGuard(int argc, char** argv) {
    bool allowSecondary = true;
    SingleApplication::Options options = SingleApplication::PerUser;
    QByteArray send;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-secondary") == 0) allowSecondary = false;
        if (std::strcmp(argv[i], "--notify") == 0) options |= SingleApplication::NotifyOnSecondary;
        if (std::strcmp(argv[i], "--send") == 0 && i + 1 < argc) send = argv[++i];
    }
    ShutdownSignals::install();
    SingleApplication app(argc, argv, allowSecondary, options, 1000);
    say("key " + app.instanceKey());
    if (app.runsAsSecondary()) {
        say(QStringLiteral("role secondary %1").arg(app.instanceId()));
        if (!send.isEmpty()) say(QStringLiteral("sent %1").arg(app.sendToPrimary(send, 1000)));
        return 0;
    }
    QObject::connect(&app, &SingleApplication::instanceStarted, [] { say("started"); });
    QObject::connect(
        &app, &SingleApplication::receivedMessage, [](quint32 id, const QByteArray& message) {
            say(QStringLiteral("message %1 %2").arg(id).arg(QString::fromUtf8(message)));
            if (message == "quit") QCoreApplication::exit(0);
        });
    ShutdownSignals watcher(&app);
    say(QStringLiteral("role primary pid %1").arg(QCoreApplication::applicationPid()));
    return app.exec();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const QString mode = QString::fromLatin1(argv[1]);
    if (mode != "config") QCoreApplication::setApplicationName(QString::fromUtf8(argv[2]));
    QCoreApplication::setOrganizationName(QStringLiteral("KivoTest"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    bg::InitBridge(argc, argv);
    std::atexit(bg::UninitBridge);
    if (mode == "config") return runConfig(argc, argv);
    if (mode == "guard") return runGuard(argc, argv);
    if (mode == "key") {
        QCoreApplication app(argc, argv);
        say(SingleApplication::deriveInstanceKey(SingleApplication::PerUser));
        return 0;
    }
    return 2;
}
