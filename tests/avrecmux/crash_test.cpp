// Recordings that end badly: a process killed mid-recording and a disk that fills up must leave a
// playable file holding what was recorded up to shortly before.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <string>

#include "mediaprobe.h"
#include "test_env.h"
#include "testmedia.h"

namespace {

// avrecmux_record_child recording into file; its standard output read line by line.
class RecordingChild {
public:
    RecordingChild(const std::string& file, double seconds, qint64 sizeLimit = 0) {
        QStringList args{QString::fromStdString(file), QString::number(seconds)};
        if (sizeLimit > 0) args << QString::number(sizeLimit);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KIVOCAM_LOG_LEVEL", "2");  // errors only
        process_.setProcessEnvironment(env);
        process_.start(kivotest::binDir() + "/avrecmux_record_child", args);
    }
    ~RecordingChild() {
        process_.kill();
        process_.waitForFinished(5000);
    }

    bool started() { return process_.waitForStarted(10000); }
    // The first line starting with prefix, or an empty text when none came within timeout_ms.
    QString waitForLine(const QString& prefix, int timeout_ms = 60000) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeout_ms) {
            while (process_.canReadLine()) {
                const QString line = QString::fromUtf8(process_.readLine()).trimmed();
                if (line.startsWith(prefix)) return line;
            }
            if (process_.state() == QProcess::NotRunning && !process_.canReadLine()) break;
            process_.waitForReadyRead(100);
        }
        return QString();
    }
    QProcess& process() { return process_; }

private:
    QProcess process_;
};

}  // namespace

// A kill -9 four seconds into a recording must leave a file that opens and plays up to within
// about two seconds of the kill (a plain MP4 would have no index at all).
TEST(AvrecmuxCrash, KilledRecordingPlaysUpToShortlyBeforeTheKill) {
    const std::string path = kivotest::scratchFile("killed.mp4");
    RecordingChild child(path, 60);
    ASSERT_TRUE(child.started());
    ASSERT_FALSE(child.waitForLine("written 4000000").isNull());
    child.process().kill();  // SIGKILL
    ASSERT_TRUE(child.process().waitForFinished(10000));

    const kivotest::FileProbe probe = kivotest::probeFile(path);
    ASSERT_TRUE(probe.ok) << "the killed recording does not open";
    const kivotest::StreamProbe* v = probe.find("video");
    ASSERT_TRUE(v);
    EXPECT_GE(v->endSeconds(), 4.0 - 2.0);
    const auto pictures = kivotest::decodeVideo(path);
    ASSERT_FALSE(pictures.empty());
    EXPECT_GE(pictures.back().seconds, 4.0 - 2.0 - 0.04);
}

// A disk that fills up mid-recording: the recording stops with an error line, stop() reports the
// failure, the process goes on, and the part written before the disk filled plays.
TEST(AvrecmuxCrash, FullDiskEndsRecordingAndKeepsWhatWasWritten) {
    const std::string path = kivotest::scratchFile("full.mp4");
    const qint64 limit = 400 * 1024;
    RecordingChild child(path, 60, limit);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.waitForLine("stop ").toStdString(), "stop 0");
    ASSERT_TRUE(child.process().waitForFinished(10000));
    EXPECT_EQ(child.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.process().exitCode(), 0);
    EXPECT_TRUE(child.process().readAllStandardError().contains("录制文件写入失败"));

    EXPECT_LE(QFileInfo(QString::fromStdString(path)).size(), limit);
    const kivotest::FileProbe probe = kivotest::probeFile(path);
    ASSERT_TRUE(probe.ok) << "the part written before the disk filled does not open";
    const kivotest::StreamProbe* v = probe.find("video");
    ASSERT_TRUE(v);
    EXPECT_GE(v->endSeconds(), 1.0);
    EXPECT_FALSE(kivotest::decodeVideo(path).empty());
}
