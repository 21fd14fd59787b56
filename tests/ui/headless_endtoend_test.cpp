// The program without a window or a display: the command line, the single-instance rules, and a
// whole session where the phone simulator finds kivocam by discovery, streams, asks for a
// screenshot and a recording, and SIGTERM ends the program during the recording.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cmath>
#include <memory>

#include "blockreader.h"
#include "kivobridge/bridge.h"
#include "mediaprobe.h"
#include "output/camerablock.h"
#include "output/namedsharedmemory.h"
#include "test_env.h"
#include "windowtest.h"

namespace {

// No display of any kind: the child must not even try one.
QProcessEnvironment noDisplay() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XAUTHORITY"})
        env.remove(name);
    env.insert("KIVOCAM_LOG_LEVEL", "4");  // no line per picture
    return env;
}

// A child with its merged output collected while the caller's loop runs.
class Child {
public:
    Child(const QString& program, const QStringList& args,
          const QProcessEnvironment& env = noDisplay()) {
        process_.setProcessEnvironment(env);
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(program, args);
        process_.waitForStarted(5000);
    }
    ~Child() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    QString output() {
        output_ += QString::fromUtf8(process_.readAll());
        return output_;
    }
    bool waitFor(const QString& text, int ms) {
        return windowtest::waitFor([&] { return output().contains(text); }, ms);
    }
    // Exit code, or -1 on a crash or time-out.
    int finish(int ms) {
        windowtest::waitFor([&] { return process_.state() == QProcess::NotRunning; }, ms);
        output();
        if (process_.state() != QProcess::NotRunning) return -1;
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }
    void terminate() { process_.terminate(); }

private:
    QProcess process_;
    QString output_;
};

QString kivocam() {
    return kivotest::binDir() + "/kivocam";
}

double lumaMean(const QImage& rgb) {
    double sum = 0;
    for (int y = 0; y < rgb.height(); ++y)
        for (int x = 0; x < rgb.width(); ++x) sum += qGray(rgb.pixel(x, y));
    return sum / (rgb.width() * rgb.height());
}

}  // namespace

// Help, version and an unknown option need no display; without a display and without
// --headless the program says what to do instead of aborting.
TEST(Headless, CommandLineWithoutDisplay) {
    Child help(kivocam(), {"--help"});
    EXPECT_EQ(0, help.finish(10000));
    EXPECT_TRUE(help.output().contains("Usage: kivocam")) << help.output().toStdString();
    EXPECT_TRUE(help.output().contains("--headless"));

    Child version(kivocam(), {"--version"});
    EXPECT_EQ(0, version.finish(10000));
    EXPECT_TRUE(version.output().contains("KivoCam 1.0.2")) << version.output().toStdString();

    Child unknown(kivocam(), {"--no-such-option"});
    EXPECT_EQ(2, unknown.finish(10000));
    EXPECT_TRUE(unknown.output().contains("unknown option '--no-such-option'"))
        << unknown.output().toStdString();

    Child window(kivocam(), {});
    EXPECT_EQ(1, window.finish(10000));
    EXPECT_TRUE(
        window.output().contains("cannot open the display; use --headless to run without a window"))
        << window.output().toStdString();
}

// The whole headless session. The stored save folder is gone, so both files land in the home
// folder and the log says so once, while the setting stays. A second headless start says one is
// running and leaves it alone; a windowed start asks the running one to show itself and ends,
// while the camera and the recording go on. SIGTERM during the recording leaves a finalised
// file, exit 0.
TEST(Headless, PhoneFindsItStreamsAndGetsScreenshotAndRecording) {
    const QString gone = kivotest::scratchDir() + "/unplugged-disk/videos";
    bg::CD->settings()->set("cfg_save_dir", gone.toUtf8().constData());
    ASSERT_TRUE(bg::CD->settings()->save());
    NamedSharedMemory::removeObjects(camerablock::baseName());
    QDir home(QDir::homePath());
    for (const QString& f : home.entryList({"KivoCam_*"}, QDir::Files)) home.remove(f);

    Child app(kivocam(), {"--headless"});
    ASSERT_TRUE(app.waitFor("started headless", 20000)) << app.output().toStdString();

    Child second(kivocam(), {"--headless"});
    EXPECT_EQ(1, second.finish(20000));
    EXPECT_TRUE(second.output().contains("already running")) << second.output().toStdString();

    const QString dump = kivotest::scratchDir() + "/headless-source.yuv";
    Child phone(kivotest::binDir() + "/kivocam-phonesim",
                {"--size", "1280x720", "--fps", "15", "--duration", "13", "--discovery-timeout",
                 "15", "--at", "2:screenshot", "--at", "3:record-start", "--dump-yuv", dump});
    // The camera block gets the phone's pictures while the program runs.
    vcam::BlockReader reader(camerablock::baseName());
    int cameraPictures = 0;
    QElapsedTimer timer;
    timer.start();
    while (!app.output().contains("[headless]recording on") && timer.elapsed() < 25000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (reader.next(10) == vcam::BlockReader::Result::Picture &&
            reader.header().width == 1280 && reader.header().height == 720)
            ++cameraPictures;
    }
    ASSERT_TRUE(app.output().contains("[headless]recording on"))
        << app.output().toStdString() << phone.output().toStdString();
    EXPECT_TRUE(phone.output().contains("discovered PC")) << phone.output().toStdString();
    EXPECT_GT(cameraPictures, 10);

    // With the test's display (or the off-screen one): a window could open, but must not.
    Child window(kivocam(), {}, QProcessEnvironment::systemEnvironment());
    int cameraAfterWindow = 0;
    QElapsedTimer afterWindow;
    timer.restart();
    while (timer.elapsed() < 25000 && (!afterWindow.isValid() || afterWindow.elapsed() < 3000)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (!afterWindow.isValid() && window.finish(0) != -1) afterWindow.start();
        if (reader.next(10) == vcam::BlockReader::Result::Picture && afterWindow.isValid())
            ++cameraAfterWindow;
    }
    EXPECT_EQ(0, window.finish(0)) << window.output().toStdString();
    EXPECT_TRUE(window.output().contains("Another instance is running, passing show to it"))
        << window.output().toStdString();
    EXPECT_TRUE(app.waitFor("show (no window to show)", 5000))
        << window.output().toStdString() << app.output().right(3000).toStdString();
    EXPECT_GT(cameraAfterWindow, 20);  // 15 per second for 3 s
    app.terminate();
    EXPECT_EQ(0, app.finish(20000)) << app.output().toStdString();
    const QString log = app.output();
    EXPECT_TRUE(log.contains("recording stopped: saved")) << log.toStdString();
    EXPECT_EQ(1, log.count("[save]save folder")) << log.toStdString();
    // Only the windowed start sent a message.
    EXPECT_EQ(1, log.count("Message from instance")) << log.toStdString();
    phone.finish(30000);

    std::string stored;
    bg::CD->settings()->reload();
    bg::CD->settings()->get("cfg_save_dir", stored);
    EXPECT_EQ(gone.toStdString(), stored);

    const QStringList shots = home.entryList({"KivoCam_shot*.png"}, QDir::Files);
    const QStringList movies = home.entryList({"KivoCam_recoder*.mp4"}, QDir::Files);
    ASSERT_EQ(1, shots.size()) << home.entryList().join(' ').toStdString();
    ASSERT_EQ(1, movies.size()) << home.entryList().join(' ').toStdString();

    const std::vector<QImage> sources = windowtest::readDumpAsRgb(dump, 1280, 720);
    ASSERT_GE(sources.size(), 30u);
    const QImage shot(home.filePath(shots.front()));
    ASSERT_EQ(QSize(1280, 720), shot.size());
    double best = 0;
    for (const QImage& source : sources) best = std::max(best, windowtest::psnrRgb(source, shot));
    EXPECT_GE(best, 30.0);

    const std::string movie = home.filePath(movies.front()).toStdString();
    const kivotest::FileProbe probe = kivotest::probeFile(movie);
    ASSERT_TRUE(probe.ok);
    ASSERT_TRUE(probe.find("video"));
    ASSERT_TRUE(probe.find("audio"));
    // A busy machine opens the file late and drops the encoder's backlog at the end.
    EXPECT_GE(probe.duration, 1.0) << log.toStdString();
    // The phone's moving picture: its brightness follows the source's range and changes.
    double lo = 255, hi = 0;
    for (size_t i = 0; i < sources.size(); i += 10) {
        const double m = lumaMean(sources[i].scaled(160, 90));
        lo = std::min(lo, m);
        hi = std::max(hi, m);
    }
    const std::vector<kivotest::DecodedPicture> pictures = kivotest::decodeVideo(movie);
    ASSERT_GE(pictures.size(), 15u);  // the file's 25 per second
    int changes = 0;
    for (size_t i = 0; i < pictures.size(); ++i) {
        EXPECT_GE(pictures[i].lumaMean, lo - 12) << i;
        EXPECT_LE(pictures[i].lumaMean, hi + 12) << i;
        if (i > 0) changes += pictures[i].lumaMean != pictures[i - 1].lumaMean;
    }
    EXPECT_GT(changes, int(pictures.size()) / 2);
    NamedSharedMemory::removeObjects(camerablock::baseName());
}
