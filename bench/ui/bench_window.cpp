// bench_window: what the main window does with a phone's 1280x720 stream at 30 pictures per
// second, first only displaying it (the baseline), then displaying and recording it:
//   pictures in     - pictures that reached the window per second
//   pictures shown  - repaints of the picture per second
//   captured        - pictures handed to the recorder per second (recording run)
//   recorded        - pictures in the MP4 per second of its duration (recording run)
//   CPU             - this process's CPU time over the streaming time, in % of one core
// the gaps between arriving audio blocks and decoded pictures, taken on the threads that deliver
// them: steady, and around the start and the stop of the recording (a start or stop that made
// the network or decoding thread wait shows as a gap well above the steady one), and the decoding
// thread's page faults in the second before and after the stop (a fault storm there means its
// buffers were taken away or made copy-on-write, as a fork of the program does).
// The phone simulator runs as its own process, so its encoding is not counted.
// Starts discovery: run it inside a network namespace with only loopback and a display, e.g.
//   scripts/in-sandbox.sh build/bin/bench_window [seconds, default 8]
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QProcess>
#include <QTemporaryDir>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/kivocamdata.h"
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
    // Arrival times in ms since the picture came up; the recording's start and stop on that clock.
    std::vector<double> audio, pictures;
    double startAt = -1, stopAt = -1;
    // Page faults of the decoding thread in the second before and the second after the stop.
    long long faultsBeforeStop = -1, faultsAfterStop = -1;
};

// Largest and typical (median) gap between consecutive arrivals inside [from, to] ms.
struct Gap {
    double max = 0, typical = 0;
};

Gap gaps(const std::vector<double>& times, double from, double to) {
    std::vector<double> d;
    for (size_t i = 1; i < times.size(); ++i)
        if (times[i - 1] >= from && times[i] <= to) d.push_back(times[i] - times[i - 1]);
    Gap g;
    if (d.empty()) return g;
    g.max = *std::max_element(d.begin(), d.end());
    std::nth_element(d.begin(), d.begin() + d.size() / 2, d.end());
    g.typical = d[d.size() / 2];
    return g;
}

void printGaps(const char* what, const Figures& f, double from, double to) {
    const Gap a = gaps(f.audio, from, to);
    const Gap p = gaps(f.pictures, from, to);
    std::printf("%-32s %10.1f %10.1f %12.1f %12.1f\n", what, a.max, a.typical, p.max, p.typical);
}

// Minor page faults of this process's threads called name so far. A picture thread writes into
// buffers it reuses, so it faults only when its pages were taken away or made copy-on-write.
long long threadFaults(const QString& name) {
    long long sum = 0;
    const QDir tasks("/proc/self/task");
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks.filePath(task + "/stat"));
        if (!stat.open(QIODevice::ReadOnly)) continue;
        const QByteArray text = stat.readAll();
        const int open = text.indexOf('('), close = text.lastIndexOf(')');
        if (text.mid(open + 1, close - open - 1) != name.toUtf8()) continue;
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        if (fields.size() > 7) sum += fields[7].toLongLong();
    }
    return sum;
}

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
         "1280x720", "--fps", "30", "--duration", QString::number(seconds + 5), "--pre-encode"});
    if (!phone.waitForStarted(5000)) return f;
    spin([&] { return window.isShowingPicture(); }, 30000);
    // Arrivals, stamped on the network thread (audio) and the decoding thread (pictures).
    QElapsedTimer clock;
    clock.start();
    std::mutex arrivalsLock;
    auto arrivals = std::make_unique<QObject>();
    SocketServer* server = window.mirrorServer();
    QObject::connect(
        server, &SocketServer::sig_MirrorAudioFrame, arrivals.get(),
        [&] {
            std::lock_guard<std::mutex> lock(arrivalsLock);
            f.audio.push_back(clock.nsecsElapsed() / 1e6);
        },
        Qt::DirectConnection);
    QObject::connect(
        server, &SocketServer::sig_MirrorDecodedFrame, arrivals.get(),
        [&] {
            std::lock_guard<std::mutex> lock(arrivalsLock);
            f.pictures.push_back(clock.nsecsElapsed() / 1e6);
        },
        Qt::DirectConnection);
    spin([] { return false; }, 1500);  // steady, before anything starts
    // The counters' connections end with this object.
    auto counters = std::make_unique<QObject>();
    QObject::connect(&window, &MainWindow::sig_displayFrame, counters.get(), [&f] { ++f.in; });
    QObject::connect(window.mainForm()->renderer(), &QOpenGLWidget::frameSwapped, counters.get(),
                     [&f] { ++f.shown; });
    QObject::connect(window.mainForm(), &MainForm::sigCaptureFrame, counters.get(),
                     [&f, &window] { f.captured += window.isRecording(); });
    auto* button = window.menuForm()->findChild<QPushButton*>("pushButton_menu_record");
    if (record) {
        f.startAt = clock.nsecsElapsed() / 1e6;
        button->click();
    }
    const double cpu0 = cpuSeconds();
    QElapsedTimer t;
    t.start();
    spin([] { return false; }, seconds * 1000 - 1000);
    const long long faults0 = threadFaults("mirror::Stream");
    spin([] { return false; }, 1000);
    f.seconds = t.elapsed() / 1000.0;
    f.cpu = (cpuSeconds() - cpu0) / f.seconds * 100.0;
    counters.reset();
    QObject finish;
    if (record) {
        QObject::connect(&window, &MainWindow::sig_recordFinished, &finish,
                         [&f](bool ok, const QString& path) { f.file = ok ? path : QString(); });
        f.stopAt = clock.nsecsElapsed() / 1e6;
        const long long faults1 = threadFaults("mirror::Stream");
        button->click();
        spin([] { return false; }, 1000);
        f.faultsBeforeStop = faults1 - faults0;
        f.faultsAfterStop = threadFaults("mirror::Stream") - faults1;
    }
    spin([&] { return phone.state() == QProcess::NotRunning; }, 30000);
    arrivals.reset();
    spin([&] { return !record || !f.file.isEmpty(); }, 10000);
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
        std::printf("%-32s %10s %10s %12s %12s\n", "arrival gaps (ms)", "audio max", "audio typ",
                    "picture max", "picture typ");
        printGaps("display only, steady", base, 1500, base.seconds * 1000 + 1500);
        printGaps("recording, steady", rec, rec.startAt + 1500, rec.stopAt - 500);
        printGaps("around the start (-0.5/+1.5 s)", rec, rec.startAt - 500, rec.startAt + 1500);
        printGaps("around the stop (-0.5/+1.5 s)", rec, rec.stopAt - 500, rec.stopAt + 1500);
        std::printf(
            "decoding thread page faults: %lld in the second before the stop, %lld in the "
            "second after\n",
            rec.faultsBeforeStop, rec.faultsAfterStop);
        if (base.in == 0 || rec.file.isEmpty()) {
            std::printf("!! no picture or no recording\n");
            rc = 1;
        }
    }
    bg::UninitBridge();
    return rc;
}
