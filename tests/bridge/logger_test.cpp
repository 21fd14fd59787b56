#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "child_process.h"
#include "kivobridge/bridge.h"
#include "kivobridge/log.h"
#include "test_env.h"

namespace {

QString logPath() {
    return QString::fromStdString(bg::CD->logger()->filePath());
}

QStringList linesOf(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

QStringList logLines() {
    return linesOf(logPath());
}

void freshBridge(const char* level) {
    bg::UninitBridge();
    if (level)
        qputenv("KIVOCAM_LOG_LEVEL", level);
    else
        qunsetenv("KIVOCAM_LOG_LEVEL");
    bg::InitBridge(0, nullptr);
}

// Standard error goes to /dev/null while it lives (every log line is also written there).
class QuietStderr {
public:
    QuietStderr() : saved_(::dup(2)) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::close(null);
    }
    ~QuietStderr() {
        ::dup2(saved_, 2);
        ::close(saved_);
    }

private:
    int saved_;
};

void on_pushButton_menu_record_clicked() {
    LOGI("Recording %s at %d fps", "录像", 30);
}

void go() {
    LOGW("short %d", 7);
}

}  // namespace

// The line shape other tools grep for: time, level letter, tag, function fitted to 6, line
// number left-aligned in 4, quoted message; written to the file under XDG_STATE_HOME.
TEST(BridgeLogger, LineFormatAndFile) {
    EXPECT_EQ(logPath(), qEnvironmentVariable("XDG_STATE_HOME") + "/KivoCam/kivocam.log");
    on_pushButton_menu_record_clicked();
    go();
    const QStringList lines = logLines();
    ASSERT_GE(lines.size(), 2);
    const QRegularExpression info(
        R"re(^\d{4}-\d{2}:\d{2}:\d{2}\[I\]\[bg\] licked \d+ *: "Recording 录像 at 30 fps"$)re");
    const QRegularExpression warn(
        R"re(^\d{4}-\d{2}:\d{2}:\d{2}\[W\]\[bg\]     go (\d+ *): "short 7"$)re");
    EXPECT_TRUE(info.match(lines[lines.size() - 2]).hasMatch())
        << lines[lines.size() - 2].toStdString();
    const auto m = warn.match(lines.last());
    ASSERT_TRUE(m.hasMatch()) << lines.last().toStdString();
    // The line number is left-aligned in four columns.
    EXPECT_EQ(m.captured(1).size(), std::max(4, m.captured(1).trimmed().size()));
}

// A line is written only when the level allows it, and the level comes from the environment
// with anything outside 2..5 meaning the default 4.
TEST(BridgeLogger, LevelFromEnvironmentAndFiltering) {
    const std::map<const char*, int> cases = {{"2", 2}, {"5", 5},   {"3", 3},  {"9", 4},
                                              {"1", 4}, {"abc", 4}, {"4x", 4}, {"", 4}};
    for (const auto& [text, want] : cases) {
        freshBridge(text);
        EXPECT_EQ(bg::CD->logger()->level(), want) << "KIVOCAM_LOG_LEVEL=" << text;
    }
    freshBridge(nullptr);
    EXPECT_EQ(bg::CD->logger()->level(), 4);

    bg::CD->logger()->setLevel(bg::kLogWarning);
    LOGE("filter-e");
    LOGW("filter-w");
    LOGI("filter-i");
    LOGD("filter-d");
    bg::CD->logger()->write(bg::kLogInfo, "bg", "direct-info\n");
    bg::CD->logger()->write(bg::kLogError, "bg", "direct-error-no-newline");
    bg::CD->logger()->write(bg::kLogError, "bg", "next-line\n");
    const QString text = logLines().join('\n');
    EXPECT_TRUE(text.contains("[E][bg]") && text.contains("filter-e"));
    EXPECT_TRUE(text.contains("filter-w"));
    EXPECT_FALSE(text.contains("filter-i"));
    EXPECT_FALSE(text.contains("filter-d"));
    EXPECT_FALSE(text.contains("direct-info"));
    // A line without its newline still ends there, so the next one is not glued to it.
    EXPECT_TRUE(logLines().contains("direct-error-no-newline"));

    // While the bridge is down, log calls are skipped rather than crashing.
    bg::UninitBridge();
    LOGE("while down");
    bg::InitBridge(0, nullptr);
    EXPECT_FALSE(logLines().join('\n').contains("while down"));
    freshBridge("5");
}

// Guards against a long run growing the log without bound: past 8 MiB the file becomes
// kivocam.log.old and a fresh one is started, during the run as at start-up.
TEST(BridgeLogger, RotatesDuringARun) {
    freshBridge(nullptr);
    const QString path = logPath();
    const std::string payload(4000, 'r');
    {
        QuietStderr quiet;
        for (int i = 0; i < 2300; ++i) LOGI("rotate %d %s", i, payload.c_str());  // ~9.3 MB
    }
    LOGI("after the rotation");
    EXPECT_GT(QFileInfo(path + ".old").size(), 8 << 20);
    EXPECT_LT(QFileInfo(path).size(), 2 << 20);
    EXPECT_TRUE(logLines().last().contains("after the rotation"));
}

// Many threads in two processes writing long lines to one file: every line must arrive whole
// and exactly once, never interleaved with another.
TEST(BridgeLogger, ConcurrentWritersProduceWholeLines) {
    constexpr int kThreads = 4, kLines = 400, kPayload = 3000;  // past any one-call pipe limit
    std::vector<std::unique_ptr<QProcess>> children;
    for (const char* tag : {"P0", "P1"})
        children.push_back(
            bridgetest::startChild({"log", QString::number(kThreads), QString::number(kLines),
                                    QString::number(kPayload), tag}));
    for (auto& c : children) {
        ASSERT_TRUE(c->waitForFinished(60000));
        ASSERT_EQ(c->exitCode(), 0);
    }
    const QRegularExpression shape(
        R"re(^\d{4}-\d{2}:\d{2}:\d{2}\[I\]\[bg\] .{6} \d+ *: "(P\d) t(\d+) n(\d+) len(\d+) ([a-z]+)"$)re");
    std::set<std::string> seen;
    int ours = 0;
    // A child that started late counts the other's lines in its size and may rotate the file.
    for (const QString& line : linesOf(logPath() + ".old") + logLines()) {
        if (!line.contains("\"P")) continue;
        ++ours;
        const auto m = shape.match(line);
        ASSERT_TRUE(m.hasMatch()) << line.left(200).toStdString();
        const QString body = m.captured(5);
        ASSERT_EQ(body.size(), kPayload);
        const QChar expect = QChar('a' + m.captured(3).toInt() % 26);
        ASSERT_EQ(body.count(expect), kPayload) << "mixed line";
        EXPECT_TRUE(seen.insert((m.captured(1) + m.captured(2) + "/" + m.captured(3)).toStdString())
                        .second);
    }
    EXPECT_EQ(ours, 2 * kThreads * kLines);
}
