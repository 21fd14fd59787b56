// The program itself: start-up, the second start, "--uninstall" and a clean end on SIGTERM.
#include "kivobridge/bridge.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QThread>

#include <memory>
#include <string>

#include "probe_process.h"

using apptest::ChildProcess;

namespace {

constexpr int kStartMs = 20000;

std::unique_ptr<ChildProcess> startKivocam(const QStringList& args = {}) {
    return std::make_unique<ChildProcess>(apptest::kivocamPath(), args);
}

bool settingsFileExists() {
    return QFile::exists(QString::fromStdString(bg::CD->settings()->filePath()));
}

}  // namespace

// The program must come up (window, configuration) and leave through its destructors on
// SIGTERM or SIGINT: exit code 0, no crash, the window closed and all five settings on disk.
TEST(Startup, RunsAndEndsCleanlyOnSigtermAndSigint) {
    auto app = startKivocam();
    ASSERT_FALSE(app->waitForLine("main window ready", kStartMs).isNull())
        << app->lines().join('\n').toStdString();
    EXPECT_TRUE(app->hasLine("KivoCam 1.0.2 started"));
    EXPECT_TRUE(app->hasLine("Configuration loaded"));
    app->terminate();
    ASSERT_TRUE(app->waitForExit(10000)) << app->lines().join('\n').toStdString();
    EXPECT_EQ(app->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app->exitCode(), 0);
    EXPECT_TRUE(app->hasLine("main window closed"));
    EXPECT_TRUE(app->hasLine("KivoCam exiting with 0"));

    bg::CD->settings()->reload();
    std::string value;
    for (const char* key :
         {"cfg_device_name", "cfg_save_dir", "cfg_open_vmic", "cfg_shot_opendir", "cfg_first_open"})
        EXPECT_TRUE(bg::CD->settings()->get(key, value)) << key;

    // Ctrl+C in a terminal ends it the same way.
    auto again = startKivocam();
    ASSERT_FALSE(again->waitForLine("main window ready", kStartMs).isNull());
    EXPECT_EQ(QProcess::execute("kill", {"-INT", QString::number(again->pid())}), 0);
    ASSERT_TRUE(again->waitForExit(10000));
    EXPECT_EQ(again->exitCode(), 0);
    EXPECT_TRUE(again->hasLine("Signal 2 received"));
}

// A second start (with an argument that is not an option) must pass "show" to the running program
// and end with 0 without a window of its own.
TEST(Startup, SecondStartShowsFirstAndExitsZero) {
    auto first = startKivocam();
    ASSERT_FALSE(first->waitForLine("main window ready", kStartMs).isNull());
    auto second = startKivocam({"some-other-argument"});
    ASSERT_TRUE(second->waitForExit(kStartMs));
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_FALSE(second->hasLine("main window ready"));
    EXPECT_FALSE(first->waitForLine("Message from instance 1: show", 5000).isNull());
    first->terminate();
    ASSERT_TRUE(first->waitForExit(10000));
    EXPECT_EQ(first->exitCode(), 0);
}

// "--uninstall" must do nothing but the driver removal: no window, no settings written, no
// contact with a running instance, exit code 0.
TEST(Startup, UninstallExitsZeroWithoutWindowOrSettings) {
    auto alone = startKivocam({"--uninstall"});
    ASSERT_TRUE(alone->waitForExit(kStartMs));
    EXPECT_EQ(alone->exitCode(), 0);
    EXPECT_TRUE(alone->hasLine("Uninstall requested"));
    EXPECT_FALSE(alone->hasLine("main window ready"));
    EXPECT_FALSE(settingsFileExists());

    auto running = startKivocam();
    ASSERT_FALSE(running->waitForLine("main window ready", kStartMs).isNull());
    auto uninstall = startKivocam({"--uninstall"});
    ASSERT_TRUE(uninstall->waitForExit(kStartMs));
    EXPECT_EQ(uninstall->exitCode(), 0);
    EXPECT_FALSE(uninstall->hasLine("main window ready"));
    EXPECT_FALSE(uninstall->hasLine("Another instance"));
    QThread::msleep(300);
    EXPECT_FALSE(running->hasLine("Message from instance"));
    running->terminate();
    ASSERT_TRUE(running->waitForExit(10000));
    EXPECT_EQ(running->exitCode(), 0);
}
