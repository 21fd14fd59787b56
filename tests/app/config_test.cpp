// Configuration store: every "restart" is a new probe process reading the same settings file.
#include "kivobridge/bridge.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QHostInfo>
#include <QMap>

#include <string>

#include "config/settingsaccess.h"
#include "probe_process.h"
#include "test_env.h"

using apptest::ChildProcess;

namespace {

// Runs one probe configuration command and returns its key=value lines.
QMap<QString, QString> runConfig(const QStringList& args) {
    ChildProcess probe(apptest::probePath(), QStringList{"config"} + args);
    EXPECT_TRUE(probe.waitForExit(20000));
    EXPECT_EQ(probe.exitCode(), 0);
    QMap<QString, QString> values;
    for (const QString& line : probe.lines()) {
        const int eq = line.indexOf('=');
        if (eq > 0 && !line.contains("[bg]")) values.insert(line.left(eq), line.mid(eq + 1));
    }
    bg::CD->settings()->reload();
    return values;
}

std::string stored(const char* key) {
    std::string value;
    if (!bg::CD->settings()->get(key, value)) return "<missing>";
    return value;
}

void store(const char* key, const char* value) {
    bg::CD->settings()->set(key, value);
}

}  // namespace

// A first start must show the documented defaults and leave all five keys in the store, so that
// later readers (and a hand-edited file) see every setting.
TEST(ConfigStore, FirstStartWritesAllFiveKeysWithDefaults) {
    ASSERT_EQ(stored("cfg_device_name"), "<missing>");
    const auto values = runConfig({"dump"});
    const QString device = QStringLiteral("KivoCam[%1]").arg(QHostInfo::localHostName());
    EXPECT_EQ(values.value("device"), device);
    EXPECT_EQ(values.value("savedir"), QDir::homePath());
    EXPECT_EQ(values.value("vmic"), "0");
    EXPECT_EQ(values.value("shotdir"), "1");
    EXPECT_EQ(values.value("firstopen"), "1");
    EXPECT_EQ(values.value("recording"), "0");
    EXPECT_EQ(values.value("ontop"), "0");
    EXPECT_EQ(values.value("basedata"), "1");

    EXPECT_EQ(stored("cfg_device_name"), device.toStdString());
    EXPECT_EQ(stored("cfg_save_dir"), QDir::homePath().toStdString());
    EXPECT_EQ(stored("cfg_open_vmic"), "0");
    EXPECT_EQ(stored("cfg_shot_opendir"), "1");
    EXPECT_EQ(stored("cfg_first_open"), "1");
}

// Text must go in and come back as whole UTF-8: no truncation at spaces, no local-codepage
// mangling of Chinese names, across a restart.
TEST(ConfigStore, SpacesAndChineseSurviveRestart) {
    const QString device = QString::fromUtf8(" 我的 电脑  KivoCam ");
    const QString dir = kivotest::scratchDir() + QString::fromUtf8("/保存 目录/截图 1");
    EXPECT_EQ(runConfig({"set-device", apptest::hexArg(device)}).value("device"), device);
    EXPECT_EQ(runConfig({"set-savedir", apptest::hexArg(dir)}).value("savedir"), dir);

    const auto values = runConfig({"dump"});
    EXPECT_EQ(values.value("device"), device);
    EXPECT_EQ(values.value("savedir"), dir);
    EXPECT_EQ(stored("cfg_device_name"), device.toUtf8().toStdString());
    EXPECT_EQ(stored("cfg_save_dir"), dir.toUtf8().toStdString());
    // Saving one value must not lose the others.
    EXPECT_EQ(values.value("shotdir"), "1");
}

// The run-time flags must not leak into the next run, even after a save while they were set.
TEST(ConfigStore, WindowOnTopAndRecordingAlwaysStartOff) {
    const auto during = runConfig({"set-ontop"});
    EXPECT_EQ(during.value("ontop"), "1");
    EXPECT_EQ(during.value("recording"), "1");
    const auto after = runConfig({"dump"});
    EXPECT_EQ(after.value("ontop"), "0");
    EXPECT_EQ(after.value("recording"), "0");
}

// Stored "1"/"0" must map to true/false (not be inverted, not be replaced by the defaults), and
// an unreadable value counts as missing.
TEST(ConfigStore, StoredBooleansParse) {
    store("cfg_open_vmic", "1");
    store("cfg_shot_opendir", "0");
    store("cfg_first_open", "0");
    ASSERT_TRUE(bg::CD->settings()->save());
    auto values = runConfig({"dump"});
    EXPECT_EQ(values.value("vmic"), "1");
    EXPECT_EQ(values.value("shotdir"), "0");
    EXPECT_EQ(values.value("firstopen"), "0");

    store("cfg_open_vmic", "0");
    store("cfg_shot_opendir", "1");
    store("cfg_first_open", "garbage");
    ASSERT_TRUE(bg::CD->settings()->save());
    values = runConfig({"dump"});
    EXPECT_EQ(values.value("vmic"), "0");
    EXPECT_EQ(values.value("shotdir"), "1");
    EXPECT_EQ(values.value("firstopen"), "1");
    // The load writes every value back in canonical form.
    EXPECT_EQ(stored("cfg_first_open"), "1");
}

// The typed helpers write a default back only when asked to: the virtual microphone relies on
// "audio.play" appearing in the store, the configuration store on nothing being written early.
TEST(SettingsAccess, DefaultsAreWrittenBackOnlyOnRequest) {
    EXPECT_FALSE(kivo::settingBool("test.flag", false, false));
    EXPECT_EQ(stored("test.flag"), "<missing>");
    EXPECT_TRUE(kivo::settingBool("test.flag", true, true));
    EXPECT_EQ(stored("test.flag"), "1");
    EXPECT_TRUE(kivo::settingBool("test.flag", false, true));  // stored value wins

    const QString text = QString::fromUtf8("  a b 中文  ");
    EXPECT_EQ(kivo::settingString("test.text", text, false), text);
    EXPECT_EQ(stored("test.text"), "<missing>");
    EXPECT_EQ(kivo::settingString("test.text", text, true), text);
    EXPECT_EQ(kivo::settingString("test.text", QStringLiteral("other"), true), text);

    kivo::setSettingBool("test.flag", false);
    EXPECT_EQ(stored("test.flag"), "0");
    EXPECT_FALSE(kivo::settingBool("test.flag", true, false));
}
