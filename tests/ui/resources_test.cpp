// The skin compiled into the program: every style sheet and picture the windows name, the help
// page, and real glyphs for every Chinese text of the forms.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDirIterator>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QWidget>
#include <QXmlStreamReader>

#include <iostream>

#include "ui/skin.h"

namespace {

const QStringList kSheets = {
    ":/qss/mainwindow.qss",           ":/qss/parts/mainform.qss",
    ":/qss/parts/menustateform.qss",  ":/qss/dialog/settingdialog.qss",
    ":/qss/dialog/aboutusdialog.qss", ":/qss/dialog/helpinfodialog.qss",
    ":/qss/dialog/helpdialog.qss",    ":/qss/dialog/ipdisplaydialog.qss",
};

QString readText(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QString();
    return QString::fromUtf8(f.readAll());
}

QString at2x(const QString& path) {
    QString p = path;
    return p.insert(p.lastIndexOf('.'), "@2x");
}

// The source tree, found through the build folder the test runner names.
QString sourceDir() {
    QString bin = qEnvironmentVariable("KIVOCAM_BIN_DIR");
    if (bin.isEmpty()) bin = QCoreApplication::applicationDirPath();
    const QString cache = bin + "/../CMakeCache.txt";
    const QRegularExpression re("^CMAKE_HOME_DIRECTORY:INTERNAL=(.*)$",
                                QRegularExpression::MultilineOption);
    return re.match(readText(cache)).captured(1).trimmed();
}

// Loads a picture and its @2x twin, which must be exactly twice as large.
void expectPicturePair(const QString& path, QSize* size = nullptr) {
    const QImage one(path);
    const QImage two(at2x(path));
    ASSERT_FALSE(one.isNull()) << path.toStdString();
    ASSERT_FALSE(two.isNull()) << at2x(path).toStdString();
    EXPECT_EQ(two.size(), one.size() * 2) << path.toStdString();
    if (size) *size = one.size();
}

class Skin : public ::testing::Test {
protected:
    void SetUp() override {
        ui::initSkin();
        ui::initSkin();  // a second call must be harmless
    }
};

// A sheet that does not load, does not parse, names a picture that is not compiled in, or writes
// a size the DPI scaler cannot see ("Npx;") leaves a window unstyled or half-styled.
TEST_F(Skin, EverySheetLoadsParsesAndResolvesItsPictures) {
    static QStringList parseErrors;
    static QString current;
    parseErrors.clear();
    const QtMessageHandler old =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& msg) {
            if (msg.contains("parse", Qt::CaseInsensitive)) parseErrors << current + ": " + msg;
        });
    const QRegularExpression urlRe("url\\(\\s*\"?([^\")\\s]+)\"?\\s*\\)");
    const QRegularExpression hairlineRe("border(-top|-bottom|-left|-right)?:\\s*1px solid");
    const QRegularExpression unscaledRe("[\\d.]+px(?!;)|\\d+\\.\\d+px;");
    int urls = 0;
    for (const QString& sheet : kSheets) {
        SCOPED_TRACE(sheet.toStdString());
        current = sheet;
        const QString text = readText(sheet);
        EXPECT_FALSE(text.isEmpty());
        // Hairline borders stay one pixel at every scale; every other size must be seen.
        const QString sizes = QString(text).remove(hairlineRe);
        EXPECT_FALSE(unscaledRe.match(sizes).hasMatch())
            << "size the scaler misses: " << unscaledRe.match(sizes).captured(0).toStdString();

        QWidget w;
        w.setStyleSheet(text);
        w.ensurePolished();

        for (auto it = urlRe.globalMatch(text); it.hasNext(); ++urls) {
            const QString path = it.next().captured(1);
            SCOPED_TRACE(path.toStdString());
            EXPECT_TRUE(path.startsWith(":/image/"));
            expectPicturePair(path);
        }
    }
    qInstallMessageHandler(old);
    EXPECT_TRUE(parseErrors.isEmpty()) << parseErrors.join('\n').toStdString();
    EXPECT_GT(urls, 40);
}

// Every picture the windows name, at the size its button or label is laid out with; a state
// that looks like its normal picture means its recolouring was lost.
TEST_F(Skin, EveryPictureExistsAtItsSizeAndStatesDiffer) {
    struct Family {
        QStringList names;
        QSize size;  // empty: any size
        QStringList states;
    };
    const QStringList hoverPress = {"_hover", "_press"};
    const QList<Family> families = {
        {{"main_title_min", "main_title_close", "main_title_max", "main_title_max_on"},
         {18, 18},
         hoverPress},
        {{"menu_set", "menu_ip", "menu_help", "menu_aboutus"}, {37, 37}, hoverPress},
        {{"menu_cutscm"}, {48, 37}, {"_hover", "_press", "_disabled"}},
        {{"menu_record"}, {37, 37}, {"_hover", "_press", "_disabled", "_stop"}},
        {{"menu_record_stop"}, {37, 37}, hoverPress},
        {{"set_tooltips", "set_select_dir", "set_open_dir"}, {25, 25}, hoverPress},
        {{"menu_volumn"}, {23, 37}, {"_disabled"}},
        {{"menu_phone"}, {21, 37}, {}},
        {{"display_device"}, {164, 140}, {}},
        {{"display_success"}, {420, 140}, {}},
        {{"display_waitting", "logo_kivocam", "about_image", "qr_android", "qr_ios"}, {}, {}},
    };
    for (const Family& f : families) {
        for (const QString& name : f.names) {
            const QString path = ":/image/" + name + ".png";
            SCOPED_TRACE(path.toStdString());
            QSize size;
            expectPicturePair(path, &size);
            if (!f.size.isEmpty()) {
                EXPECT_EQ(size, f.size);
            }
            const QImage normal = QImage(path).convertToFormat(QImage::Format_ARGB32);
            for (const QString& state : f.states) {
                const QString variant = ":/image/" + name + state + ".png";
                SCOPED_TRACE(variant.toStdString());
                expectPicturePair(variant);
                EXPECT_NE(QImage(variant).convertToFormat(QImage::Format_ARGB32), normal);
            }
        }
    }
    // The spinner turns over the page, so only its dots may cover anything; it must be square
    // or it wobbles while turning.
    const QImage spinner(":/image/display_waitting.png");
    EXPECT_EQ(spinner.width(), spinner.height());
    EXPECT_EQ(qAlpha(spinner.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(spinner.pixel(spinner.width() / 2, spinner.height() / 2)), 0);
    // Two different addresses, two different codes.
    const QImage android(":/image/qr_android.png"), ios(":/image/qr_ios.png");
    EXPECT_EQ(android.width(), android.height());
    EXPECT_NE(android.convertToFormat(QImage::Format_ARGB32),
              ios.convertToFormat(QImage::Format_ARGB32));
}

TEST_F(Skin, HelpPageExplainsTheLinuxSetup) {
    const QString help = readText(":/help/help.html");
    for (const char* needle :
         {"v4l2loopback", "modprobe v4l2loopback exclusive_caps=1 card_label=\"KivoCam\"",
          "Kivo Virtual Microphone", "pavucontrol", "5008", "10080", "ufw", "Firefox", "OBS",
          "media.webrtc.camera.allow-pipewire", "--enable-features=WebRtcPipeWireCamera",
          "Video Capture Device (PipeWire)"})
        EXPECT_TRUE(help.contains(QString::fromUtf8(needle))) << needle;
}

// "Microsoft YaHei" is not on a Debian desktop: without the stand-in every Chinese text of the
// forms, the windows' code, the sheets and the help page would fall back to a font without CJK
// glyphs.
TEST_F(Skin, EveryChineseTextRendersWithAnInstalledFont) {
    const QFont yahei("Microsoft YaHei");
    const QStringList standIns = QFont::substitutes("Microsoft YaHei");
    EXPECT_TRUE(standIns.contains(QFontInfo(yahei).family(), Qt::CaseInsensitive))
        << QFontInfo(yahei).family().toStdString() << " not in "
        << standIns.join(", ").toStdString();

    QMap<QString, QString> texts;  // where -> text
    for (const QString& sheet : kSheets) texts[sheet] = readText(sheet);
    texts[":/help/help.html"] = readText(":/help/help.html");

    const QString src = sourceDir();
    ASSERT_TRUE(QFile::exists(src + "/ui/CMakeLists.txt")) << src.toStdString();
    int forms = 0;
    for (QDirIterator it(src + "/ui", {"*.ui"}, QDir::Files, QDirIterator::Subdirectories);
         it.hasNext(); ++forms) {
        const QString file = it.next();
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&f);
        while (!xml.atEnd()) {
            if (xml.readNext() == QXmlStreamReader::StartElement &&
                xml.name() == QLatin1String("string"))
                texts[file] += xml.readElementText(QXmlStreamReader::IncludeChildElements);
        }
        EXPECT_FALSE(xml.hasError())
            << file.toStdString() << ": " << xml.errorString().toStdString();
    }
    // Texts the windows set in code (message boxes, the bubble, state lines) count as well.
    for (QDirIterator it(src + "/ui/src", {"*.cpp"}, QDir::Files); it.hasNext();) {
        const QString file = it.next();
        texts[file] = readText(file);
    }
    std::cout << "checked " << forms << " forms\n";

    const QFontMetrics metrics(yahei);
    int cjk = 0;
    for (auto it = texts.cbegin(); it != texts.cend(); ++it) {
        QString missing;
        for (uint ucs4 : it.value().toUcs4()) {
            if (ucs4 < 0x2E80) continue;  // below the CJK blocks
            ++cjk;
            if (!metrics.inFontUcs4(ucs4)) missing += QString::fromUcs4(&ucs4, 1);
        }
        EXPECT_TRUE(missing.isEmpty()) << it.key().toStdString() << ": " << missing.toStdString();
    }
    EXPECT_GT(cjk, 100);
}

}  // namespace
