#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QThread>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "kivobridge/bridge.h"
#include "test_env.h"

namespace {

QString storePath() {
    return QString::fromStdString(bg::CD->settings()->filePath());
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeStore(const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(storePath()).path());
    QFile f(storePath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QStringList corruptFiles() {
    return QDir(QFileInfo(storePath()).path())
        .entryList({"settings.json.corrupt-*"}, QDir::Files, QDir::Name);
}

// Starts a test from nothing: no store on disk, no values in memory.
void removeStoreFolder() {
    QDir(QFileInfo(storePath()).path()).removeRecursively();
    bg::CD->settings()->reload();
}

std::string value(const char* key) {
    std::string out;
    return bg::CD->settings()->get(key, out) ? out : std::string("<missing>");
}

}  // namespace

// Values must come back byte for byte after a restart, stored where the user looks for them and
// readable (pretty-printed, Chinese as text rather than escapes).
TEST(BridgeSettings, RoundTripThroughFileAndRestart) {
    removeStoreFolder();
    EXPECT_EQ(storePath(), qEnvironmentVariable("XDG_CONFIG_HOME") + "/KivoCam/settings.json");
    bg::Settings* s = bg::CD->settings();
    s->set("savePath", "/home/user/My Videos/录像");
    s->set("quote\"key", "line1\nline2\ttab \\ back");
    s->set("empty", "");
    s->set("nullText", nullptr);
    ASSERT_TRUE(s->save());

    const QByteArray raw = readAll(storePath());
    EXPECT_TRUE(raw.contains("录像"));
    EXPECT_TRUE(raw.contains("\n    \""));

    bg::UninitBridge();
    bg::InitBridge(0, nullptr);
    EXPECT_EQ(value("savePath"), "/home/user/My Videos/录像");
    EXPECT_EQ(value("quote\"key"), "line1\nline2\ttab \\ back");
    EXPECT_EQ(value("empty"), "");
    EXPECT_EQ(value("nullText"), "");
    EXPECT_EQ(value("absent"), "<missing>");
    EXPECT_TRUE(corruptFiles().isEmpty());
}

// reload() must show what another process wrote, including keys it removed.
TEST(BridgeSettings, ReloadReadsTheFileAgain) {
    removeStoreFolder();
    bg::CD->settings()->set("old", "1");
    writeStore(R"({"new": "2"})");
    bg::CD->settings()->reload();
    EXPECT_EQ(value("new"), "2");
    EXPECT_EQ(value("old"), "<missing>");
    // A missing store is a normal first start: empty, nothing moved aside.
    removeStoreFolder();
    bg::CD->settings()->reload();
    EXPECT_EQ(value("new"), "<missing>");
    EXPECT_TRUE(corruptFiles().isEmpty());
}

// Hand-edited stores: scalars become text, containers and null are skipped, the rest survives.
TEST(BridgeSettings, NonTextValuesOfAValidObject) {
    removeStoreFolder();
    writeStore(R"({"a": "x", "n": 5, "neg": -3, "b": true, "r": 1.5, "o": {"k": "v"},
                   "arr": [1], "nul": null})");
    bg::CD->settings()->reload();
    EXPECT_EQ(value("a"), "x");
    EXPECT_EQ(value("n"), "5");
    EXPECT_EQ(value("neg"), "-3");
    EXPECT_EQ(value("b"), "true");
    EXPECT_EQ(value("r"), "1.5");
    EXPECT_EQ(value("o"), "<missing>");
    EXPECT_EQ(value("arr"), "<missing>");
    EXPECT_EQ(value("nul"), "<missing>");
    EXPECT_TRUE(corruptFiles().isEmpty());
}

// A damaged store must never be silently overwritten: it is moved aside and kept byte for byte,
// a second damaged store in the same second does not replace the first, and the program goes
// on with an empty store it can save again.
TEST(BridgeSettings, DamagedStoreIsKeptAndDefaultsUsed) {
    removeStoreFolder();
    const QByteArray broken = "{ \"savePath\": \"/x\", ";
    const QByteArray notObject = "[\"a\", \"b\"]";
    const QByteArray trailing = "{\"a\": \"1\"} garbage";

    writeStore(broken);
    bg::CD->settings()->set("stale", "1");
    bg::CD->settings()->reload();
    EXPECT_EQ(value("savePath"), "<missing>");
    EXPECT_EQ(value("stale"), "<missing>");
    EXPECT_FALSE(QFile::exists(storePath()));

    writeStore(notObject);
    bg::CD->settings()->reload();
    writeStore(trailing);
    bg::CD->settings()->reload();
    EXPECT_EQ(value("a"), "<missing>");

    const QStringList kept = corruptFiles();
    ASSERT_EQ(kept.size(), 3);
    QList<QByteArray> contents;
    for (const QString& name : kept)
        contents << readAll(QFileInfo(storePath()).path() + "/" + name);
    EXPECT_TRUE(contents.contains(broken));
    EXPECT_TRUE(contents.contains(notObject));
    EXPECT_TRUE(contents.contains(trailing));

    const QByteArray log = readAll(QString::fromStdString(bg::CD->logger()->filePath()));
    EXPECT_TRUE(log.contains("[W][bg]"));
    EXPECT_TRUE(log.contains("is damaged"));

    bg::CD->settings()->set("fresh", "yes");
    ASSERT_TRUE(bg::CD->settings()->save());
    bg::CD->settings()->reload();
    EXPECT_EQ(value("fresh"), "yes");
    EXPECT_EQ(corruptFiles().size(), 3);
}

// A failed write must be reported, not claimed as saved.
TEST(BridgeSettings, SaveReportsFailure) {
    removeStoreFolder();
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    QFile blocker(config + "/KivoCam");  // a file where the folder should be
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    bg::CD->settings()->set("k", "v");
    EXPECT_FALSE(bg::CD->settings()->save());
    QFile::remove(config + "/KivoCam");
    EXPECT_TRUE(bg::CD->settings()->save());
}

// Threads setting and saving at once: no lost key, and the file on disk is complete.
TEST(BridgeSettings, ConcurrentSetAndSave) {
    removeStoreFolder();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                const std::string key = "t" + std::to_string(t) + "_" + std::to_string(i);
                bg::CD->settings()->set(key.c_str(), std::to_string(i).c_str());
                bg::CD->settings()->save();
            }
        });
    }
    for (auto& t : threads) t.join();
    const QJsonDocument doc = QJsonDocument::fromJson(readAll(storePath()));
    ASSERT_TRUE(doc.isObject());
    EXPECT_EQ(doc.object().size(), 200);
}

// Killing the program at any moment of a save must leave the old or the new complete store,
// never a torn one; a reader looking while saves run must never see a partial file either.
TEST(BridgeSettings, SaveSurvivesKillAtAnyMoment) {
    removeStoreFolder();
    const auto checkStore = [](const QByteArray& bytes) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
        if (error.error != QJsonParseError::NoError) return false;
        const QJsonObject o = doc.object();
        const long counter = o.value("counter").toString().toLong();
        return o.value("payload").toString().size() == (counter * 7919) % 60000 &&
               o.value("名字").toString() == "值 with spaces";
    };
    int reads = 0;
    for (int round = 0; round < 15; ++round) {
        auto child = bridgetest::startChild({"save"});
        ASSERT_TRUE(child->waitForStarted(5000));
        ASSERT_TRUE(child->waitForReadyRead(10000)) << "child never saved";
        QElapsedTimer watch;
        watch.start();
        const int killAfter = QRandomGenerator::global()->bounded(1, 60);
        while (watch.elapsed() < killAfter) {
            ASSERT_TRUE(checkStore(readAll(storePath()))) << "torn store seen by a reader";
            ++reads;
        }
        child->kill();
        ASSERT_TRUE(child->waitForFinished(5000));
        ASSERT_TRUE(checkStore(readAll(storePath()))) << "torn store after kill, round " << round;
    }
    EXPECT_GT(reads, 0);
    bg::CD->settings()->reload();
    EXPECT_TRUE(corruptFiles().isEmpty());
}
