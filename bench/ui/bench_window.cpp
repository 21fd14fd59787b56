// bench_window: what the main window does with a phone's 1280x720 stream at 30 pictures per
// second, first only displaying it (the baseline), then displaying and recording it:
//   pictures in     - pictures that reached the window per second
//   pictures shown  - repaints of the picture per second
//   captured        - pictures handed to the recorder per second (recording run)
//   recorded        - pictures in the MP4 per second of its duration (recording run)
//   CPU             - this process's CPU time over the streaming time, in % of one core
// The phone simulator runs as its own process, so its encoding is not counted.
// Starts discovery: run it inside a network namespace with only loopback and a display, e.g.
//   scripts/in-sandbox.sh build/bin/bench_window [seconds, default 8]
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QProcess>
#include <QTemporaryDir>
#include <QWindow>

#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/kivocamdata.h"
#include "kivobridge/bridge.h"
#include "mirror/kivospmirrorserver.h"
#include "mirror/socketserver.h"
#include "output/openglwidget.h"
#include "ui/mainform.h"
#include "ui/mainwindow.h"
#include "ui/menustateform.h"

namespace {

struct Figures {
    double seconds = 0;
    int in = 0;
    int shown = 0;
    int captured = 0;
    double cpu = 0;
    QString file;
};

// CPU time of the whole process, every thread.
double cpuSeconds() {
    return double(std::clock()) / CLOCKS_PER_SEC;
}

void spin(const std::function<bool()>& until, int ms) {
    QElapsedTimer t;
    t.start();
    while (!until() && t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// One phone session of `seconds`; counts over the middle part, after the picture is up.
Figures run(MainWindow& window, int seconds, bool record) {
    Figures f;
    QProcess phone;
    phone.start(
        QCoreApplication::applicationDirPath() + "/kivocam-phonesim",
        {"--port", QString::number(window.mirrorServer()->mirrorServer()->commandPort()), "--size",
         "1280x720", "--fps", "30", "--duration", QString::number(seconds + 3), "--pre-encode"});
    if (!phone.waitForStarted(5000)) return f;
    spin([&] { return window.isShowingPicture(); }, 30000);
    // The counters' connections end with this object.
    auto counters = std::make_unique<QObject>();
    QObject::connect(&window, &MainWindow::sig_displayFrame, counters.get(), [&f] { ++f.in; });
    QObject::connect(window.mainForm()->renderer(), &QOpenGLWidget::frameSwapped, counters.get(),
                     [&f] { ++f.shown; });
    QObject::connect(window.mainForm(), &MainForm::sigCaptureFrame, counters.get(),
                     [&f, &window] { f.captured += window.isRecording(); });
    auto* button = window.menuForm()->findChild<QPushButton*>("pushButton_menu_record");
    if (record) button->click();
    const double cpu0 = cpuSeconds();
    QElapsedTimer t;
    t.start();
    spin([] { return false; }, seconds * 1000);
    f.seconds = t.elapsed() / 1000.0;
    f.cpu = (cpuSeconds() - cpu0) / f.seconds * 100.0;
    counters.reset();
    QObject finish;
    if (record) {
        QObject::connect(&window, &MainWindow::sig_recordFinished, &finish,
                         [&f](bool ok, const QString& path) { f.file = ok ? path : QString(); });
        button->click();
    }
    spin([&] { return phone.state() == QProcess::NotRunning; }, 30000);
    return f;
}

// Pictures per second of the MP4's video stream, as ffprobe counts them.
double recordedRate(const QString& file) {
    QProcess probe;
    probe.start("ffprobe",
                {"-v", "error", "-select_streams", "v", "-count_packets", "-show_entries",
                 "stream=nb_read_packets:format=duration", "-of", "default=nw=1:nk=1", file});
    if (!probe.waitForFinished(30000)) return 0;
    const QStringList lines =
        QString::fromUtf8(probe.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    if (lines.size() < 2 || lines[1].toDouble() <= 0) return 0;
    return lines[0].toDouble() / lines[1].toDouble();
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int seconds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 8;
    QTemporaryDir scratch(QDir::tempPath() + "/bench-window-XXXXXX");
    const std::string root = scratch.path().toStdString();
    for (const char* sub : {"/home", "/config", "/state"})
        QDir().mkpath(QString::fromStdString(root + sub));
    ::setenv("HOME", (root + "/home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (root + "/state").c_str(), 1);
    if (!std::getenv("KIVOCAM_ADAPTERS")) ::setenv("KIVOCAM_ADAPTERS", "lo0|Bench|127.0.0.2", 1);
    ::setenv("KIVOCAM_SHM_NAME",
             ("KivoBench" + QDir(scratch.path()).dirName().toStdString()).c_str(), 1);
    ::setenv("KIVOCAM_LOG_LEVEL", "3", 1);

    bg::InitBridge(argc, argv);
    int rc = 0;
    {
        QApplication app(argc, argv);
        qRegisterMetaType<I420FramePtr>("I420FramePtr");
        qRegisterMetaType<PcmFramePtr>("PcmFramePtr");
        KivoCamData::instance()->setFirstOpen(false);
        KivoCamData::instance()->setOpenShotDir(false);
        MainWindow window;
        window.show();
        spin([&] { return window.windowHandle()->isExposed(); }, 5000);

        const Figures base = run(window, seconds, false);
        const Figures rec = run(window, seconds, true);
        const double recorded = rec.file.isEmpty() ? 0 : recordedRate(rec.file);
        std::printf(
            "bench_window: 1280x720 at 30 pictures/s for %d s, window %dx%d, picture %dx%d\n",
            seconds, window.width(), window.height(), window.mainForm()->renderer()->width(),
            window.mainForm()->renderer()->height());
        std::printf("%-22s %10s %10s %10s %10s %8s\n", "", "in/s", "shown/s", "captured/s",
                    "recorded/s", "CPU %");
        std::printf("%-22s %10.1f %10.1f %10s %10s %8.1f\n", "display only (base)",
                    base.in / base.seconds, base.shown / base.seconds, "-", "-", base.cpu);
        std::printf("%-22s %10.1f %10.1f %10.1f %10.1f %8.1f\n", "display + recording",
                    rec.in / rec.seconds, rec.shown / rec.seconds, rec.captured / rec.seconds,
                    recorded, rec.cpu);
        std::printf("recording costs %.1f points of one core (%.2fx the display-only CPU)\n",
                    rec.cpu - base.cpu, base.cpu > 0 ? rec.cpu / base.cpu : 0.0);
        if (base.in == 0 || rec.file.isEmpty()) {
            std::printf("!! no picture or no recording\n");
            rc = 1;
        }
    }
    bg::UninitBridge();
    return rc;
}
