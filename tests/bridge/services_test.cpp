#include <gtest/gtest.h>

#include <chrono>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <string>
#include <thread>
#include <vector>

#include "kivobridge/bridge.h"
#include "test_env.h"

using namespace std::chrono_literals;

// Values compare by content and never fail to convert: another type gives the fallback.
TEST(BridgeValue, ConversionsAndEquality) {
    const bg::Value empty, text("abc"), str(std::string("abc")), yes(true), no(false);
    bg::ValueMap m{{"a", bg::Value(true)}, {"b", bg::Value("x")}};
    const bg::Value map(m), sameMap(m);
    EXPECT_TRUE(empty.isEmpty());
    EXPECT_EQ(text, str);
    EXPECT_NE(text, bg::Value("abd"));
    EXPECT_NE(yes, no);
    EXPECT_NE(text, yes);
    EXPECT_EQ(map, sameMap);
    m["a"] = bg::Value(false);
    EXPECT_NE(map, bg::Value(m));
    EXPECT_EQ(text.toString(), "abc");
    EXPECT_EQ(yes.toString("fb"), "fb");
    EXPECT_TRUE(yes.toBool());
    EXPECT_TRUE(text.toBool(true));
    EXPECT_FALSE(text.toBool(false));
    EXPECT_EQ(map.toMap().at("b").toString(), "x");
    EXPECT_TRUE(text.toMap().empty());
    EXPECT_EQ(bg::Value(static_cast<const char*>(nullptr)).toString("fb"), "");
}

// Both shared stores hand back what was put in, also under concurrent use.
TEST(BridgeServices, GlobalValuesAndAppInfo) {
    bg::GlobalValues* g = bg::CD->globals();
    EXPECT_EQ(g->get("app_title", bg::Value("none")).toString(), "none");
    g->set("app_title", bg::Value("KivoCam 手机摄像头"));
    EXPECT_EQ(g->get("app_title").toString(), "KivoCam 手机摄像头");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([g, t] {
            for (int i = 0; i < 2000; ++i) {
                const std::string key = "k" + std::to_string(t);
                g->set(key.c_str(), bg::Value(std::to_string(i)));
                g->get(key.c_str());
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(g->get("k3").toString(), "1999");

    bg::AppInfo* a = bg::CD->appInfo();
    a->setName("KivoCam");
    a->setVersion("1.0.2");
    a->setBuildDate("Dec  8 2026");
    a->setWebAddress("https://example.invalid");
    EXPECT_EQ(a->name(), "KivoCam");
    EXPECT_EQ(a->version(), "1.0.2");
    EXPECT_EQ(a->buildDate(), "Dec  8 2026");
    EXPECT_EQ(a->webAddress(), "https://example.invalid");
}

// Short names keep the end of the function name; the clock is monotonic microseconds; now()
// formats local time.
TEST(BridgeUtility, ShortNameClockAndTime) {
    bg::Utility* u = bg::CD->utility();
    EXPECT_EQ(u->shortName("on_pushButton_clicked", 6), "licked");
    EXPECT_EQ(u->shortName("main", 6), "main");
    EXPECT_EQ(u->shortName("sixsix", 6), "sixsix");
    EXPECT_EQ(u->shortName("abc", 0), "");
    EXPECT_EQ(u->shortName(nullptr, 6), "");
    const int64_t t0 = u->clock();
    std::this_thread::sleep_for(20ms);
    const int64_t t1 = u->clock();
    EXPECT_GE(t1 - t0, 20000);
    EXPECT_LT(t1 - t0, 20000000);
    EXPECT_EQ(u->now("%Y"), std::to_string(QDate::currentDate().year()));
    EXPECT_EQ(u->now(""), "");
    EXPECT_EQ(u->now(nullptr), "");
}

// Minor page faults this thread has taken so far.
long long threadMinorFaults() {
    QFile stat("/proc/thread-self/stat");
    if (!stat.open(QIODevice::ReadOnly)) return -1;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 7 ? fields[7].toLongLong() : -1;
}

// Starting the opener must not copy this process: after a fork every page the program's threads
// write is copied on its first write, which stalled the stream for a tenth of a second each time
// a recording ended and its folder was shown.
TEST(BridgeUtility, OpenLocationLeavesOurMemoryAlone) {
    const QString root = kivotest::scratchDir();
    const QString fakeBin = root + "/quickbin";
    QDir().mkpath(fakeBin);
    QFile script(fakeBin + "/xdg-open");
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nexit 0\n");
    script.close();
    script.setPermissions(script.permissions() | QFile::ExeOwner);
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", (fakeBin + ":/usr/bin:/bin").toUtf8());

    constexpr size_t kBytes = 32u << 20, kPage = 4096;
    std::vector<char> pictures(kBytes, 1);  // like the stream's buffers: written all the time
    const long long before = threadMinorFaults();
    ASSERT_GE(before, 0);
    EXPECT_TRUE(bg::CD->utility()->openLocation(root.toUtf8().constData()));
    for (size_t i = 0; i < kBytes; i += kPage) pictures[i] = 2;
    const long long faults = threadMinorFaults() - before;
    EXPECT_LT(faults, static_cast<long long>(kBytes / kPage / 8)) << "pages copied after start";
    qputenv("PATH", oldPath);
}

// openLocation hands the folder to the opener, returns without waiting for it, and leaves no
// child of ours behind (the opener is reparented); it fails cleanly when nothing can start.
TEST(BridgeUtility, OpenLocationStartsDetachedOpener) {
    const QString root = kivotest::scratchDir();
    const QString fakeBin = root + "/fakebin", emptyBin = root + "/emptybin";
    const QString media = root + "/media folder", out = root + "/opened.txt";
    QDir().mkpath(fakeBin);
    QDir().mkpath(emptyBin);
    QDir().mkpath(media);
    QFile script(fakeBin + "/xdg-open");
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nprintf '%s\\n%s\\n' \"$1\" \"$PPID\" > \"" + out.toUtf8() +
                 ".tmp\"\nmv \"" + out.toUtf8() + ".tmp\" \"" + out.toUtf8() + "\"\nsleep 3\n");
    script.close();
    script.setPermissions(script.permissions() | QFile::ExeOwner);
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", (fakeBin + ":/usr/bin:/bin").toUtf8());

    QElapsedTimer timer;
    timer.start();
    const QString file = media + "/clip 1.mp4";
    EXPECT_TRUE(bg::CD->utility()->openLocation(file.toUtf8().constData()));
    EXPECT_LT(timer.elapsed(), 2500);  // the opener sleeps 3 s; we must not have waited
    while (!QFile::exists(out) && timer.elapsed() < 10000) QThread::msleep(10);
    QFile result(out);
    ASSERT_TRUE(result.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = result.readAll().split('\n');
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(QString::fromUtf8(lines[0]), media);
    EXPECT_NE(lines[1].toLongLong(), QCoreApplication::applicationPid());
    result.remove();

    // A folder path is shown as it is.
    EXPECT_TRUE(bg::CD->utility()->openLocation((media + "/").toUtf8().constData()));
    while (!QFile::exists(out) && timer.elapsed() < 10000) QThread::msleep(10);
    ASSERT_TRUE(result.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(result.readLine()).trimmed(), media);

    EXPECT_FALSE(bg::CD->utility()->openLocation((root + "/missing/x.mp4").toUtf8().constData()));
    EXPECT_FALSE(bg::CD->utility()->openLocation(""));
    EXPECT_FALSE(bg::CD->utility()->openLocation(nullptr));
    qputenv("PATH", emptyBin.toUtf8());
    EXPECT_FALSE(bg::CD->utility()->openLocation(file.toUtf8().constData()));
    qputenv("PATH", oldPath);
}
