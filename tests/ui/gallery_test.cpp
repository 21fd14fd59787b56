#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <map>

#include "test_env.h"

namespace {

// Runs the gallery at one DPI in one language; returns the pictures it wrote by base name.
std::map<QString, QImage> runGallery(int dpi, QString* log, const QString& lang = "zh") {
    QTemporaryDir out(kivotest::scratchDir() + "/gallery-XXXXXX");
    out.setAutoRemove(false);
    QProcess gallery;
    gallery.setProcessChannelMode(QProcess::MergedChannels);
    gallery.start(kivotest::binDir() + "/kivocam-gallery",
                  {out.path(), "--dpi", QString::number(dpi), "--lang", lang});
    std::map<QString, QImage> images;
    if (!gallery.waitForFinished(60000)) {
        gallery.kill();
        gallery.waitForFinished();
    }
    *log = QString::fromLocal8Bit(gallery.readAll());
    if (gallery.exitStatus() != QProcess::NormalExit || gallery.exitCode() != 0) return images;
    for (const QFileInfo& f : QDir(out.path()).entryInfoList({"*.png"}, QDir::Files))
        images[f.completeBaseName()] = QImage(f.filePath());
    return images;
}

}  // namespace

// The gallery writes one readable picture per window and state, at 96 and at 144 DPI, where the
// style sheets' sizes grow by half: the settings dialog is fixed at 350 x 300 before scaling.
TEST(Gallery, OnePicturePerWindowAndStateAtBothDpis) {
    const QStringList expected = {"settingdialog-mic-on",
                                  "settingdialog-mic-off",
                                  "ipdisplay-address",
                                  "ipdisplay-no-address",
                                  "ipdisplay-screenshot-done",
                                  "firsttooltips",
                                  "aboutus",
                                  "helpinfo",
                                  "usehelp"};
    std::map<int, std::map<QString, QImage>> runs;
    for (int dpi : {96, 144}) {
        QString log;
        runs[dpi] = runGallery(dpi, &log);
        SCOPED_TRACE(log.toStdString());
        for (const QString& name : expected) {
            ASSERT_TRUE(runs[dpi].count(name)) << name.toStdString() << " at " << dpi;
            EXPECT_FALSE(runs[dpi][name].isNull()) << name.toStdString();
        }
        // Every picture it wrote is one it announced.
        for (const auto& entry : runs[dpi])
            EXPECT_TRUE(log.contains(entry.first + ".png")) << entry.first.toStdString();
    }
    EXPECT_EQ(QSize(350, 300), runs[96]["settingdialog-mic-on"].size());
    EXPECT_EQ(QSize(525, 450), runs[144]["settingdialog-mic-on"].size());
    EXPECT_NE(runs[96]["settingdialog-mic-on"], runs[96]["settingdialog-mic-off"]);
    EXPECT_NE(runs[96]["ipdisplay-address"], runs[96]["ipdisplay-no-address"]);
    for (const char* name : {"aboutus", "usehelp", "helpinfo", "ipdisplay-address"}) {
        const QSize small = runs[96][name].size();
        const QSize large = runs[144][name].size();
        EXPECT_GT(large.width(), small.width() * 5 / 4) << name;
        EXPECT_GT(large.height(), small.height() * 5 / 4) << name;
    }
    const QImage bubble = runs[96]["firsttooltips"];
    EXPECT_EQ(0, bubble.pixelColor(2, 2).alpha());
    EXPECT_EQ(QColor(165, 197, 243), bubble.pixelColor(24, bubble.height() / 2));
}

// In English every page is written, no text is clipped (the gallery names each one that is and
// fails), the texts are English, and the settings dialog grows only where English needs room.
TEST(Gallery, EnglishFitsAtBothDpis) {
    for (int dpi : {96, 144}) {
        QString log;
        std::map<QString, QImage> en = runGallery(dpi, &log, "en");
        SCOPED_TRACE(log.toStdString());
        EXPECT_FALSE(log.contains("clipped"));
        ASSERT_EQ(19u, en.size()) << dpi;
        const QSize settings = en["settingdialog-mic-on"].size();
        EXPECT_EQ(dpi == 96 ? QSize(420, 300) : QSize(630, 450), settings);
    }
}
