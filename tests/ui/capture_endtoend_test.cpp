// Screenshots and recordings end to end: the phone simulator streams into the main window over
// loopback sockets, asks for screenshots and recordings over its command channel (or the test
// presses the window's buttons), and the PNG and MP4 files left in the save folder are read back.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QWindow>

#include <algorithm>
#include <cmath>

#include "config/kivocamdata.h"
#include "mediaprobe.h"
#include "mirror/kivospmirrorserver.h"
#include "mirror/socketserver.h"
#include "output/openglwidget.h"
#include "test_env.h"
#include "ui/mainform.h"
#include "ui/mainwindow.h"
#include "ui/menustateform.h"
#include "windowtest.h"

using windowtest::Boxes;
using windowtest::Phone;
using windowtest::waitFor;

namespace {

class CaptureEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        qRegisterMetaType<I420FramePtr>("I420FramePtr");
        qRegisterMetaType<PcmFramePtr>("PcmFramePtr");
        saveDir_ =
            kivotest::scratchDir() + "/saved-" +
            QString::fromStdString(::testing::UnitTest::GetInstance()->current_test_info()->name());
        QDir().mkpath(saveDir_);
        KivoCamData::instance()->setSaveDir(saveDir_);
        KivoCamData::instance()->setOpenShotDir(false);
        window_ = std::make_unique<MainWindow>();
        window_->show();
        ASSERT_TRUE(waitFor([this] { return window_->windowHandle()->isExposed(); }, 5000));
        port_ = window_->mirrorServer()->mirrorServer()->commandPort();
        ASSERT_NE(0, port_);
    }
    void TearDown() override { window_.reset(); }

    QStringList files(const QString& pattern) const {
        return QDir(saveDir_).entryList({pattern}, QDir::Files, QDir::Name);
    }
    bool showing() const { return window_->isShowingPicture(); }
    QPushButton* button(const char* name) const {
        return window_->menuForm()->findChild<QPushButton*>(name);
    }

    QString saveDir_;
    std::unique_ptr<MainWindow> window_;
    quint16 port_ = 0;
};

// Frame times (seconds) of the white pictures and start times of the beeps in a recording.
struct SyncMarks {
    std::vector<double> flashes;
    std::vector<double> beeps;
};

SyncMarks findSyncMarks(const QString& path) {
    SyncMarks marks;
    bool wasWhite = false;
    for (const kivotest::DecodedPicture& p : kivotest::decodeVideo(path.toStdString())) {
        const bool white = p.lumaMean > 128;
        if (white && !wasWhite) marks.flashes.push_back(p.seconds);
        wasWhite = white;
    }
    int rate = 0;
    const std::vector<float> audio = kivotest::decodeAudio(path.toStdString(), &rate);
    if (rate <= 0) return marks;
    long quietSince = 0;
    for (size_t i = 0; i < audio.size(); ++i) {
        if (std::fabs(audio[i]) > 0.05f) {
            if (long(i) - quietSince > rate / 2) marks.beeps.push_back(double(i) / rate);
            quietSince = long(i);
        }
    }
    return marks;
}

}  // namespace

// A screenshot asked for by the phone leaves a PNG of the picture area that matches the source
// picture scaled to it, right way up. A request while the waiting page shows is dropped and does
// not fire later; two screenshots within one second both survive.
TEST_F(CaptureEndToEnd, ScreenshotsMatchTheSourceAndNeverFireLate) {
    Boxes boxes;
    window_->slot_screenShot();  // nothing shown yet
    EXPECT_FALSE(window_->isScreenshotPending());

    QSignalSpy shots(window_.get(), &MainWindow::sig_screenshotFinished);
    const QString dump = kivotest::scratchDir() + "/shot-source.yuv";
    Phone phone;
    ASSERT_TRUE(phone.start(port_, {"--size", "640x360", "--fps", "30", "--duration", "4", "--at",
                                    "1.5:screenshot", "--dump-yuv", dump}));
    ASSERT_TRUE(waitFor([&] { return shots.count() >= 1; }, 15000)) << "no screenshot";
    EXPECT_TRUE(shots.at(0).at(0).toBool());
    const QString first = shots.at(0).at(1).toString();

    // Two presses of the screenshot button in a row.
    ASSERT_TRUE(button("pushButton_menu_cutscm")->isEnabled());
    button("pushButton_menu_cutscm")->click();
    ASSERT_TRUE(waitFor([&] { return shots.count() >= 2; }, 5000));
    button("pushButton_menu_cutscm")->click();
    ASSERT_TRUE(waitFor([&] { return shots.count() >= 3; }, 5000));
    ASSERT_EQ(0, phone.finish()) << phone.output().toStdString();
    EXPECT_TRUE(waitFor([&] { return !showing(); }, 5000));
    EXPECT_EQ(3u, size_t(files("KivoCam_shot*.png").size())) << files("*").join(' ').toStdString();
    EXPECT_TRUE(boxes.shown().empty());

    const QImage shot(first);
    ASSERT_FALSE(shot.isNull());
    EXPECT_EQ(window_->mainForm()->renderer()->size(), shot.size());
    const std::vector<QImage> sources = windowtest::readDumpAsRgb(dump, 640, 360);
    ASSERT_GE(sources.size(), 100u);
    double upright = 0, flipped = 0;
    for (const QImage& source : sources) {
        const QImage scaled =
            source.scaled(shot.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        upright = std::max(upright, windowtest::psnrRgb(scaled, shot));
        flipped = std::max(flipped, windowtest::psnrRgb(scaled.mirrored(false, true), shot));
    }
    EXPECT_GE(upright, 30.0);
    EXPECT_LT(flipped, upright - 3.0);

    // After the phone left, the button is off and a request from elsewhere is dropped.
    window_->slot_screenShot();
    EXPECT_FALSE(window_->isScreenshotPending());
}

// A recording started and stopped by the phone, and one started and stopped with the record
// button, each leave an MP4 with one H.264 and one AAC stream of the right length, whose white
// flashes and beeps line up: typically within two picture intervals of the file (25 per second),
// never beyond three; the file's address is on the clipboard.
TEST_F(CaptureEndToEnd, RecordingsByPhoneAndButtonAreCompleteAndInSync) {
    Boxes boxes;
    QSignalSpy finished(window_.get(), &MainWindow::sig_recordFinished);
    Phone phone;
    ASSERT_TRUE(
        phone.start(port_, {"--size", "1280x720", "--fps", "30", "--duration", "16", "--sync-marks",
                            "--at", "4:record-start", "--at", "9:record-stop"}));
    ASSERT_TRUE(waitFor([&] { return finished.count() >= 1; }, 20000)) << "phone recording";
    EXPECT_TRUE(finished.at(0).at(0).toBool());
    const QString byPhone = finished.at(0).at(1).toString();
    ASSERT_TRUE(QApplication::clipboard()->mimeData());
    EXPECT_EQ(QList<QUrl>{QUrl::fromLocalFile(byPhone)},
              QApplication::clipboard()->mimeData()->urls());

    QPushButton* record = button("pushButton_menu_record");
    ASSERT_TRUE(record->isEnabled());
    record->click();
    ASSERT_TRUE(window_->isRecording());
    QElapsedTimer held;
    held.start();
    windowtest::settle(5000);
    record->click();
    const double buttonSeconds = held.elapsed() / 1000.0;
    ASSERT_TRUE(waitFor([&] { return finished.count() >= 2; }, 5000)) << "button recording";
    EXPECT_TRUE(finished.at(1).at(0).toBool());
    const QString byButton = finished.at(1).at(1).toString();
    EXPECT_NE(byPhone, byButton);
    EXPECT_EQ(0, phone.finish()) << phone.output().toStdString();
    EXPECT_TRUE(boxes.shown().empty());

    for (const auto& [path, seconds] :
         {std::make_pair(byPhone, 5.0), std::make_pair(byButton, buttonSeconds)}) {
        SCOPED_TRACE(path.toStdString());
        const kivotest::FileProbe probe = kivotest::probeFile(path.toStdString());
        ASSERT_TRUE(probe.ok);
        ASSERT_EQ(2u, probe.streams.size());
        ASSERT_TRUE(probe.find("video"));
        ASSERT_TRUE(probe.find("audio"));
        EXPECT_EQ("h264", probe.find("video")->codec);
        EXPECT_EQ("aac", probe.find("audio")->codec);
        // A busy machine starts the file a few pictures late and may drop the encoder's backlog.
        EXPECT_NEAR(seconds, probe.duration, seconds * 0.15);

        const SyncMarks marks = findSyncMarks(path);
        QStringList seen;
        for (double t : marks.flashes) seen << QString("flash %1").arg(t, 0, 'f', 3);
        for (double t : marks.beeps) seen << QString("beep %1").arg(t, 0, 'f', 3);
        SCOPED_TRACE(seen.join(", ").toStdString());
        ASSERT_GE(marks.flashes.size(), 3u);
        ASSERT_GE(marks.beeps.size(), 3u);
        std::vector<double> offsets;
        for (double flash : marks.flashes) {
            double nearest = 1e9;
            for (double beep : marks.beeps)
                if (std::fabs(beep - flash) < std::fabs(nearest)) nearest = beep - flash;
            if (std::fabs(nearest) > 0.5) continue;  // a beep cut off at either end
            // A busy machine delays pictures more than sound and may shift one by a slot; still
            // short of the 90 ms by which sound ahead of the picture starts to bother a viewer.
            EXPECT_LE(std::fabs(nearest), 3.0 / 25) << "flash at " << flash;
            offsets.push_back(nearest);
        }
        ASSERT_FALSE(offsets.empty());
        std::nth_element(offsets.begin(), offsets.begin() + offsets.size() / 2, offsets.end());
        EXPECT_LE(std::fabs(offsets[offsets.size() / 2]), 2.0 / 25) << "typical offset";
    }
}

// With the window minimised, then hidden to the tray, nothing is painted; the recording takes
// its pictures from the stream instead, so they still move.
TEST_F(CaptureEndToEnd, RecordingWhileNotPaintedHasMovingPictures) {
    Boxes boxes;
    QSignalSpy finished(window_.get(), &MainWindow::sig_recordFinished);
    Phone phone;
    ASSERT_TRUE(phone.start(port_, {"--size", "640x360", "--fps", "30", "--duration", "7"}));
    ASSERT_TRUE(waitFor([&] { return showing(); }, 10000));
    window_->showMinimized();
    button("pushButton_menu_record")->click();
    windowtest::settle(2000);
    window_->hide();
    windowtest::settle(2000);
    button("pushButton_menu_record")->click();
    ASSERT_TRUE(waitFor([&] { return finished.count() >= 1; }, 5000));
    ASSERT_TRUE(finished.at(0).at(0).toBool());
    EXPECT_EQ(0, phone.finish()) << phone.output().toStdString();

    const std::vector<kivotest::DecodedPicture> pictures =
        kivotest::decodeVideo(finished.at(0).at(1).toString().toStdString());
    ASSERT_GE(pictures.size(), 60u);  // 4 s at 25 per second, allowing for drops
    int changes = 0;
    for (size_t i = 1; i < pictures.size(); ++i)
        changes += pictures[i].lumaMean != pictures[i - 1].lumaMean;
    EXPECT_GT(changes, int(pictures.size()) / 2);
}

// A phone that leaves during a recording leaves a finalised file whose address is on the
// clipboard. A phone that asks to record before any picture arrived is told no, and nothing
// starts.
TEST_F(CaptureEndToEnd, DisconnectFinalisesAndEarlyRequestIsRefused) {
    Boxes boxes;
    QSignalSpy finished(window_.get(), &MainWindow::sig_recordFinished);
    Phone phone;
    ASSERT_TRUE(phone.start(
        port_, {"--size", "640x360", "--fps", "30", "--duration", "7", "--at", "4:record-start"}));
    ASSERT_EQ(0, phone.finish()) << phone.output().toStdString();
    ASSERT_TRUE(waitFor([&] { return finished.count() >= 1; }, 10000));
    EXPECT_TRUE(finished.at(0).at(0).toBool());
    const QString path = finished.at(0).at(1).toString();
    const kivotest::FileProbe probe = kivotest::probeFile(path.toStdString());
    ASSERT_TRUE(probe.ok);
    EXPECT_EQ(2u, probe.streams.size());
    EXPECT_NEAR(3.0, probe.duration, 0.5);
    ASSERT_TRUE(QApplication::clipboard()->mimeData());
    EXPECT_EQ(QList<QUrl>{QUrl::fromLocalFile(path)},
              QApplication::clipboard()->mimeData()->urls());
    EXPECT_FALSE(window_->isRecording());

    Phone silent;
    ASSERT_TRUE(silent.start(port_, {"--no-video", "--duration", "2", "--at", "0.5:record-start",
                                     "--at", "1:record-query"}));
    ASSERT_EQ(0, silent.finish()) << silent.output().toStdString();
    EXPECT_EQ(2, silent.output().count(R"("state":false)")) << silent.output().toStdString();
    EXPECT_EQ(0, silent.output().count(R"("state":true)"));
    windowtest::settle(200);
    EXPECT_FALSE(window_->isRecording());
    EXPECT_EQ(1, finished.count());
    EXPECT_TRUE(boxes.shown().empty());
}

namespace {

// Lines the program logged from here on (the log file of this test process).
class LogTail {
public:
    LogTail() : file_(kivotest::scratchDir() + "/state/KivoCam/kivocam.log") {
        start_ = QFileInfo(file_).size();
    }
    int count(const QString& text) const {
        QFile f(file_);
        if (!f.open(QIODevice::ReadOnly)) return 0;
        f.seek(start_);
        return QString::fromUtf8(f.readAll()).count(text);
    }

private:
    QString file_;
    qint64 start_ = 0;
};

}  // namespace

// A recording whose file cannot be created stops at once: a warning, the button released, the
// phone told that nothing records, and no new attempt for every later picture.
TEST_F(CaptureEndToEnd, RecordingThatCannotStartEndsAtOnce) {
    Boxes boxes;
    // Dangling links under every name the next minute can produce: the folder can be written,
    // the file itself cannot be created.
    const QDateTime now = QDateTime::currentDateTime();
    for (int s = -2; s < 60; ++s) {
        const QString stamp = now.addSecs(s).toString("yyyyMMddHHmmss");
        QFile::link("/nonexistent-kivo-folder/x.mp4",
                    saveDir_ + QString("/KivoCam_recoder[%1].mp4").arg(stamp));
    }
    const LogTail log;
    QSignalSpy finished(window_.get(), &MainWindow::sig_recordFinished);
    Phone phone;
    ASSERT_TRUE(phone.start(port_, {"--size", "640x360", "--fps", "30", "--duration", "6", "--at",
                                    "4.5:record-query"}));
    ASSERT_TRUE(waitFor([&] { return showing(); }, 10000));
    QPushButton* record = button("pushButton_menu_record");
    record->click();
    EXPECT_TRUE(waitFor([&] { return !window_->isRecording(); }, 3000));
    EXPECT_FALSE(record->isChecked());
    EXPECT_TRUE(waitFor([&] { return !boxes.shown().empty(); }, 3000));
    ASSERT_EQ(1u, boxes.shown().size());
    EXPECT_EQ(ui::BoxKind::Warning, boxes.shown().front().kind);
    windowtest::settle(1000);  // thirty more pictures
    EXPECT_EQ(1, log.count("Recording could not start"));
    ASSERT_EQ(0, phone.finish()) << phone.output().toStdString();
    EXPECT_EQ(1, phone.output().count(R"("state":false)")) << phone.output().toStdString();
    EXPECT_EQ(0, phone.output().count(R"("state":true)"));
    EXPECT_EQ(0, finished.count());  // nothing was recorded, so nothing to report at a stop
    EXPECT_EQ(1u, boxes.shown().size());
}

// A stored save folder that is gone (an unplugged disk): the screenshot and the recording land
// in the home folder, the user is told once where they went, and the setting stays for when the
// disk comes back.
TEST_F(CaptureEndToEnd, MissingSaveFolderStillSavesAndSaysWhereOnce) {
    Boxes boxes;
    const QString gone = saveDir_ + "/unplugged";
    KivoCamData::instance()->setSaveDir(gone);
    QSignalSpy shots(window_.get(), &MainWindow::sig_screenshotFinished);
    QSignalSpy finished(window_.get(), &MainWindow::sig_recordFinished);
    Phone phone;
    ASSERT_TRUE(phone.start(
        port_, {"--size", "640x360", "--fps", "30", "--duration", "6", "--at", "1.5:screenshot",
                "--at", "2.5:record-start", "--at", "4.5:record-stop"}));
    ASSERT_TRUE(waitFor([&] { return shots.count() >= 1 && finished.count() >= 1; }, 20000));
    ASSERT_EQ(0, phone.finish()) << phone.output().toStdString();
    EXPECT_TRUE(shots.at(0).at(0).toBool());
    EXPECT_TRUE(finished.at(0).at(0).toBool());
    const QString home = QFileInfo(QDir::homePath()).absoluteFilePath();
    for (const QString& path : {shots.at(0).at(1).toString(), finished.at(0).at(1).toString()}) {
        EXPECT_TRUE(QFileInfo(path).size() > 0) << path.toStdString();
        EXPECT_EQ(home, QFileInfo(path).absolutePath()) << path.toStdString();
    }
    windowtest::settle(200);
    ASSERT_EQ(1u, boxes.shown().size());
    EXPECT_EQ(ui::BoxKind::Information, boxes.shown().front().kind);
    EXPECT_TRUE(boxes.shown().front().text.contains(QDir::homePath()))
        << boxes.shown().front().text.toStdString();
    EXPECT_EQ(gone, KivoCamData::instance()->saveDir());
    EXPECT_FALSE(QFileInfo::exists(gone));
}
