#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QXmlStreamReader>

#include "config/settingsaccess.h"
#include "test_env.h"
#include "ui/helpinfodialog.h"
#include "ui/language.h"
#include "ui/mainwindow.h"
#include "ui/prompts.h"
#include "ui/settingdialog.h"

namespace {

struct Message {
    QString source;
    QString translation;
    QString type;
};

std::vector<Message> readCatalogue(const QString& path) {
    std::vector<Message> all;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return all;
    QXmlStreamReader xml(&file);
    Message m;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement()) continue;
        if (xml.name() == QLatin1String("message")) {
            m = Message();
        } else if (xml.name() == QLatin1String("source")) {
            m.source = xml.readElementText();
        } else if (xml.name() == QLatin1String("translation")) {
            m.type = xml.attributes().value("type").toString();
            m.translation = xml.readElementText();
            all.push_back(m);
        }
    }
    return all;
}

// Every %N and every link of the source, in order.
QStringList markers(const QString& text) {
    static const QRegularExpression re(QStringLiteral("%\\d|href=\"[^\"]*\""));
    QStringList found;
    for (auto it = re.globalMatch(text); it.hasNext();) found << it.next().captured();
    found.sort();
    return found;
}

template <typename T>
T* child(QWidget* root, const char* name) {
    return root->findChild<T*>(QString::fromLatin1(name));
}

}  // namespace

// The catalogue, brought up to date with the sources by lupdate as a developer would, has a
// finished English text for every message, with the same placeholders and links as the source:
// a new text cannot slip in untranslated, and a translation cannot drop an argument.
TEST(Language, CatalogueTranslatesEveryTextOfTheSources) {
    const QString copy = kivotest::scratchDir() + "/kivocam_en.ts";
    QFile::remove(copy);
    ASSERT_TRUE(QFile::copy(KIVO_CATALOGUE, copy));
    QProcess lupdate;
    lupdate.setProcessChannelMode(QProcess::MergedChannels);
    lupdate.start(KIVO_LUPDATE, {"-no-obsolete", "-locations", "none", KIVO_UI_DIR "/src",
                                 KIVO_UI_DIR "/forms", KIVO_UI_DIR "/include", "-ts", copy});
    ASSERT_TRUE(lupdate.waitForFinished(60000));
    ASSERT_EQ(0, lupdate.exitCode()) << lupdate.readAll().toStdString();

    const std::vector<Message> all = readCatalogue(copy);
    EXPECT_GT(all.size(), 60u);
    for (const Message& m : all) {
        SCOPED_TRACE(m.source.toStdString());
        EXPECT_TRUE(m.type.isEmpty()) << m.type.toStdString();
        EXPECT_FALSE(m.translation.trimmed().isEmpty());
        EXPECT_EQ(markers(m.source), markers(m.translation));
    }
}

TEST(Language, FollowsTheDesktopUnlessTheSettingSays) {
    using ui::Language;
    EXPECT_EQ(Language::Chinese, ui::pickLanguage("", {"zh-CN"}));
    EXPECT_EQ(Language::Chinese, ui::pickLanguage("", {"zh-Hant-TW", "en-US"}));
    EXPECT_EQ(Language::Chinese, ui::pickLanguage("", {"zh"}));
    EXPECT_EQ(Language::English, ui::pickLanguage("", {"en-GB", "zh-CN"}));
    EXPECT_EQ(Language::English, ui::pickLanguage("", {"de-DE"}));
    EXPECT_EQ(Language::English, ui::pickLanguage("", {}));
    EXPECT_EQ(Language::English, ui::pickLanguage(" EN ", {"zh-CN"}));
    EXPECT_EQ(Language::Chinese, ui::pickLanguage("zh", {"fr-FR"}));
    EXPECT_EQ(Language::English, ui::pickLanguage("klingon", {"fr-FR"}));

    // The test main pins the C locale, which Qt reads from LC_ALL: not Chinese.
    EXPECT_EQ(Language::English, ui::desktopLanguage());
    kivo::setSettingString("cfg_language", "zh");
    EXPECT_EQ(Language::Chinese, ui::desktopLanguage());
    kivo::setSettingString("cfg_language", "");
    EXPECT_EQ(Language::English, ui::desktopLanguage());
}

// The main window, the settings dialog, a message box and the help page speak the chosen
// language, and switch back.
TEST(Language, WindowsDialogsAndBoxesSpeakTheChosenLanguage) {
    struct Expected {
        ui::Language language;
        QString title, waiting, state, settings, shotDir, yes, no, help;
    };
    const Expected cases[] = {
        {ui::Language::English, "Kivo Virtual Camera", "Waiting for connection", "Not connected",
         "Settings", "Open folder after a screenshot", "Yes", "No", "Once a phone is connected"},
        {ui::Language::Chinese, "Kivo虚拟摄像头", "正在等待连接", "未连接", "更多设置",
         "截屏后马上打开目录", "是", "否", "手机连接成功后"},
    };
    for (const Expected& e : cases) {
        SCOPED_TRACE(ui::languageCode(e.language).toStdString());
        ASSERT_TRUE(ui::useLanguage(e.language));
        {
            MainWindow window;
            EXPECT_EQ(e.title, window.windowTitle());
            EXPECT_EQ(e.title, child<QLabel>(&window, "label_main_title")->text());
            EXPECT_EQ(e.waiting, child<QLabel>(&window, "label_wait")->text());
            EXPECT_EQ(e.state, child<QLabel>(&window, "label_menu_state")->text());
        }
        {
            SettingDialog dialog(nullptr);
            EXPECT_EQ(e.settings, child<QLabel>(&dialog, "label_set_titlename")->text());
            EXPECT_EQ(e.shotDir, child<QCheckBox>(&dialog, "checkBox_shotOpendir")->text());
        }
        {
            HelpInfoDialog help(nullptr);
            EXPECT_TRUE(child<QLabel>(&help, "label_helpinfo_content")->text().contains(e.help));
        }
        QStringList buttons;
        QTimer::singleShot(0, [&buttons] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            for (QAbstractButton* b : box->buttons()) buttons << b->text();
            box->reject();
        });
        ui::showBox(nullptr, ui::BoxKind::Question, "?", "?");
        buttons.sort();
        QStringList expected{e.yes, e.no};
        expected.sort();
        EXPECT_EQ(expected, buttons);
    }
    EXPECT_EQ(ui::Language::Chinese, ui::currentLanguage());
}
