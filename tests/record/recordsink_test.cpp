// RecordSink: where recordings go, what they are called and how a failed start shows.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sys/resource.h>

#include <csignal>
#include <memory>
#include <random>
#include <vector>

#include "config/kivocamdata.h"
#include "kivobridge/bridge.h"
#include "readback.h"
#include "record/recorder.h"
#include "record/recordsink.h"
#include "test_env.h"
#include "testmedia.h"

namespace {

QString makeDir(const QString& name) {
    const QString dir = kivotest::scratchDir() + "/" + name;
    QDir().mkpath(dir);
    return dir;
}

void useSaveDir(const QString& dir) {
    KivoCamData::instance()->setSaveDir(dir);
}

// What the settings store holds, i.e. what the next start of the program will see.
QString storedSaveDir() {
    std::string value;
    bg::CD->settings()->get("cfg_save_dir", value);
    return QString::fromStdString(value);
}

// Caps the size of every file this process writes (a full disk) until destroyed; writes past the
// cap fail with EFBIG instead of raising SIGXFSZ.
class FileSizeCap {
public:
    explicit FileSizeCap(rlim_t bytes) {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit capped = saved_;
        capped.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &capped);
    }
    ~FileSizeCap() { setrlimit(RLIMIT_FSIZE, &saved_); }

private:
    rlimit saved_{};
};

QString recordInto(int width, int height) {
    QString path;
    EXPECT_TRUE(RecordSink::instance().start(width, height, &path));
    EXPECT_TRUE(RecordSink::instance().stop());
    return path;
}

}  // namespace

// The file must land in the chosen folder under the fixed name pattern, and the store must learn
// the path; a folder deleted between two recordings must move the next file (and the setting)
// to the home directory instead of failing to record, while the user's setting stays.
TEST(RecordSink, SaveFolderAndDeletedFolderFallback) {
    const QString dir = makeDir("recordings");
    useSaveDir(dir);

    const QString first = recordInto(320, 240);
    EXPECT_EQ(QFileInfo(first).absolutePath(), QFileInfo(dir).absoluteFilePath());
    EXPECT_TRUE(QRegularExpression(R"(^KivoCam_recoder\[\d{14}\]\.mp4$)")
                    .match(QFileInfo(first).fileName())
                    .hasMatch())
        << first.toStdString();
    EXPECT_EQ(KivoCamData::instance()->currentRecordFile(), first);
    EXPECT_TRUE(QFileInfo(first).size() > 0);
    EXPECT_FALSE(QFile::exists(dir + "/kivoscreen-test.txt"));
    EXPECT_EQ(KivoCamData::instance()->saveDir(), dir);  // no fallback for a good folder

    ASSERT_TRUE(QDir(dir).removeRecursively());
    const QString second = recordInto(320, 240);
    EXPECT_EQ(QFileInfo(second).absolutePath(), QFileInfo(QDir::homePath()).absoluteFilePath());
    EXPECT_TRUE(QFile::exists(second));
    EXPECT_EQ(KivoCamData::instance()->saveDir(), dir);
    EXPECT_EQ(storedSaveDir(), dir);  // the folder may come back (a disk mounted again)
    EXPECT_EQ(KivoCamData::instance()->currentRecordFile(), second);

    // An empty setting is not "the current directory".
    useSaveDir(QString());
    const QString third = recordInto(320, 240);
    EXPECT_EQ(QFileInfo(third).absolutePath(), QFileInfo(QDir::homePath()).absoluteFilePath());
}

// A folder that exists but cannot be written must not swallow the recording.
TEST(RecordSink, ReadOnlyFolderFallsBackToHome) {
    QString dir = makeDir("readonly");
    ASSERT_TRUE(QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner));
    QFile probe(dir + "/probe");
    if (probe.open(QIODevice::WriteOnly)) {
        probe.remove();
        dir = "/proc";  // permissions do not stop this user; /proc refuses new files for anyone
    }
    ASSERT_TRUE(QDir(dir).exists());
    useSaveDir(dir);
    const QString path = recordInto(320, 240);
    EXPECT_EQ(QFileInfo(path).absolutePath(), QFileInfo(QDir::homePath()).absoluteFilePath());
    EXPECT_TRUE(QFile::exists(path));
    EXPECT_EQ(storedSaveDir(), dir);
    QFile::setPermissions(makeDir("readonly"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Recordings started within the same second must not overwrite each other.
TEST(RecordSink, QuickRestartsKeepEveryFile) {
    const QString dir = makeDir("quick");
    useSaveDir(dir);
    QStringList paths;
    for (int i = 0; i < 3; ++i) paths << recordInto(160, 120);
    paths.removeDuplicates();
    EXPECT_EQ(paths.size(), 3);
    for (const QString& p : paths) {
        EXPECT_TRUE(QFile::exists(p)) << p.toStdString();
        EXPECT_TRUE(recordtest::readRecording(p).opened) << p.toStdString();
    }
}

// A muxer that cannot open its file must be reported to the caller (not a running clock over a
// file that is never written), and later writes must fail at once instead of queueing.
TEST(RecordSink, FailedStartIsReported) {
    const QString dir = makeDir("broken");
    useSaveDir(dir);
    // Dangling links under every name the next seconds can produce: the folder passes the write
    // test, but the file itself cannot be created.
    const QDateTime now = QDateTime::currentDateTime();
    for (int s = -2; s < 30; ++s) {
        const QString stamp = now.addSecs(s).toString("yyyyMMddHHmmss");
        QFile::link("/nonexistent-kivo-folder/x.mp4",
                    dir + QString("/KivoCam_recoder[%1].mp4").arg(stamp));
    }

    QString path;
    EXPECT_FALSE(RecordSink::instance().start(320, 240, &path));
    EXPECT_TRUE(path.startsWith(dir)) << path.toStdString();
    const uint8_t pcm[64] = {};
    EXPECT_FALSE(RecordSink::instance().write_pcm(pcm, sizeof pcm, 44100, 2, 16, 1000));

    Recorder recorder;
    bool signalled = false;
    bool reported = true;
    QObject::connect(&recorder, &Recorder::sig_recordStarted, [&](bool ok, const QString&) {
        signalled = true;
        reported = ok;
    });
    EXPECT_FALSE(recorder.startRecord(QSize(320, 240)));
    EXPECT_TRUE(signalled);
    EXPECT_FALSE(reported);
    EXPECT_TRUE(recorder.isStopped());
    // One recorder, one attempt: a caller that keeps offering pictures does not retry per picture.
    EXPECT_FALSE(recorder.startRecord(QSize(320, 240)));
    EXPECT_FALSE(recorder.stopRecord());
}

// A disk that fills up mid-recording ends the recording with an error line, stop() reports the
// failure instead of success, and what was written before still plays.
TEST(RecordSink, FullDiskIsReportedByStop) {
    useSaveDir(makeDir("full"));
    kivotest::LogWatch log;
    bg::CD->logger()->setLevel(bg::kLogError);  // the log stays below the cap
    QString path;
    ASSERT_TRUE(RecordSink::instance().start(320, 240, &path));
    const QString logPath = QString::fromStdString(bg::CD->logger()->filePath());
    {
        FileSizeCap cap(rlim_t(QFileInfo(logPath).size() + 256 * 1024));
        const uint32_t pitch[3] = {320, 160, 160};
        const uint32_t dlen[3] = {320 * 240, 160 * 120, 160 * 120};
        std::vector<uint8_t> picture(320 * 240 * 3 / 2, 128);
        std::mt19937 rng(1);
        for (int i = 0; i < 25 * 60 && !log.contains("录制文件写入失败"); ++i) {
            for (size_t k = 0; k < dlen[0]; ++k) picture[k] = uint8_t(rng());  // costs bits
            RecordSink::instance().write_yuv420(picture.data(), int(picture.size()), 320, 240,
                                                pitch, dlen, int64_t(i) * 40000);
        }
        EXPECT_TRUE(log.waitFor("录制文件写入失败"));
    }
    EXPECT_FALSE(RecordSink::instance().stop());
    EXPECT_TRUE(recordtest::readRecording(path).videoFrames > 0);
}

// Checking that the folder can be written must never touch a file of the user's, whatever its
// name.
TEST(RecordSink, WritabilityProbeLeavesUsersFilesAlone) {
    const QString dir = makeDir("users-files");
    useSaveDir(dir);
    for (const QString& name : {QStringLiteral("kivoscreen-test.txt"), QStringLiteral("notes")}) {
        QFile mine(dir + "/" + name);
        ASSERT_TRUE(mine.open(QIODevice::WriteOnly));
        mine.write("the user's own words");
    }
    const QString path = recordInto(160, 120);
    EXPECT_EQ(QFileInfo(path).absolutePath(), QFileInfo(dir).absoluteFilePath());
    for (const QString& name : {QStringLiteral("kivoscreen-test.txt"), QStringLiteral("notes")}) {
        QFile mine(dir + "/" + name);
        ASSERT_TRUE(mine.open(QIODevice::ReadOnly)) << name.toStdString();
        EXPECT_EQ(QByteArray("the user's own words"), mine.readAll());
    }
    // Nothing of the probe's is left behind either.
    EXPECT_EQ(3, QDir(dir).entryList(QDir::Files | QDir::Hidden).size())
        << QDir(dir).entryList(QDir::Files | QDir::Hidden).join(' ').toStdString();
}
