#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "config/kivocamdata.h"
#include "kivobridge/bridge.h"
#include "test_env.h"
#include "ui/prompts.h"
#include "ui/settingdialog.h"
#include "ui/skin.h"

namespace {

// What the settings file on disk says, not what the object in memory believes.
QString stored(const char* key) {
    QFile file(QString::fromStdString(bg::CD->settings()->filePath()));
    if (!file.open(QIODevice::ReadOnly)) return QStringLiteral("<no file>");
    const QJsonObject o = QJsonDocument::fromJson(file.readAll()).object();
    return o.contains(key) ? o.value(key).toString() : QStringLiteral("<missing>");
}

// Key presses that carry any text, Chinese included (QTest's own helper takes ASCII only).
void typeText(QWidget* w, const QString& text) {
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(w, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(w, &release);
    }
}

struct Box {
    ui::BoxKind kind;
    QString title, text;
};

class SettingDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ui::initSkin();
        cfg_ = KivoCamData::instance();
        cfg_->setDeviceName("PC-Test");
        cfg_->setSaveDir(kivotest::scratchDir() + "/home");
        cfg_->setOpenVirtualMic(true);
        cfg_->setOpenShotDir(true);
        cfg_->setWindowOnTop(false);
        cfg_->save();
        ui::setBoxHook([this](ui::BoxKind k, const QString& title, const QString& text) {
            boxes_.push_back({k, title, text});
            return true;
        });
        ui::setOpenUrlHook([this](const QUrl& url) {
            opened_.push_back(url);
            return openerWorks_;
        });
        subscription_ = bg::CD->signalBus()->subscribe(
            "mainWindows.*", [this](const std::string& name, const bg::Value& v) {
                signals_.emplace_back(name, v.toBool());
            });
        dialog_ = new SettingDialog(nullptr);
        dialog_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_));
    }
    void TearDown() override {
        delete dialog_;
        bg::CD->signalBus()->unsubscribe(subscription_);
        ui::setBoxHook({});
        ui::setOpenUrlHook({});
        ui::setDirectoryHook({});
    }
    template <typename T>
    T* child(const char* name) {
        T* w = dialog_->findChild<T*>(name);
        EXPECT_NE(nullptr, w) << name;
        return w;
    }
    void click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center()); }
    void chooseAnswer(const QString& answer) {
        ui::setDirectoryHook([this, answer](const QString& caption, const QString& start) {
            chooserCalls_.emplace_back(caption, start);
            return answer;
        });
        click(child<QPushButton>("pushButton_select_dir"));
    }

    KivoCamData* cfg_ = nullptr;
    SettingDialog* dialog_ = nullptr;
    std::vector<Box> boxes_;
    std::vector<QUrl> opened_;
    bool openerWorks_ = true;
    std::vector<std::pair<std::string, bool>> signals_;
    std::vector<std::pair<QString, QString>> chooserCalls_;
    uint64_t subscription_ = 0;
};

}  // namespace

// The dialog shows the stored settings, each check box and radio button is stored (or announced)
// at once, "打开" while already open announces nothing, and a failure reported by the main window
// switches the microphone off in the file so the next start does not retry. Closing and opening
// again shows the state it was left in.
TEST_F(SettingDialogTest, SwitchesStoreAndAnnounce) {
    auto* shot = child<QCheckBox>("checkBox_shotOpendir");
    auto* top = child<QCheckBox>("checkBox_wintop");
    auto* micOpen = child<QRadioButton>("radioButton_vmic_open");
    auto* micClose = child<QRadioButton>("radioButton_vmic_close");
    ASSERT_TRUE(shot && top && micOpen && micClose);
    EXPECT_TRUE(shot->isChecked());
    EXPECT_FALSE(top->isChecked());
    EXPECT_TRUE(micOpen->isChecked());
    EXPECT_EQ("PC-Test", child<QLineEdit>("lineEdit_device_name")->text());
    EXPECT_EQ(kivotest::scratchDir() + "/home", child<QLineEdit>("lineEdit_save_dir")->text());
    EXPECT_FALSE(child<QWidget>("widget_space")->isVisible());
    EXPECT_FALSE(child<QPushButton>("pushButton_title_space")->isEnabled());
    EXPECT_TRUE(signals_.empty());

    click(shot);
    EXPECT_EQ("0", stored("cfg_shot_opendir"));
    click(shot);
    EXPECT_EQ("1", stored("cfg_shot_opendir"));

    click(top);
    EXPECT_TRUE(cfg_->isWindowOnTop());
    click(top);
    EXPECT_FALSE(cfg_->isWindowOnTop());
    using Sig = std::pair<std::string, bool>;
    EXPECT_EQ((std::vector<Sig>{{"mainWindows.wintop", true}, {"mainWindows.wintop", false}}),
              signals_);
    signals_.clear();

    click(micOpen);  // already on
    EXPECT_TRUE(signals_.empty());
    click(micClose);
    EXPECT_EQ("0", stored("cfg_open_vmic"));
    click(micOpen);
    click(micOpen);
    EXPECT_EQ(
        (std::vector<Sig>{{"mainWindows.virtualMic", false}, {"mainWindows.virtualMic", true}}),
        signals_);
    EXPECT_EQ("1", stored("cfg_open_vmic"));
    signals_.clear();

    dialog_->setMicSwitch(false);  // the main window learnt that opening failed
    EXPECT_TRUE(micClose->isChecked());
    EXPECT_EQ("0", stored("cfg_open_vmic"));
    EXPECT_TRUE(signals_.empty());
    click(micOpen);  // the switch really is off now: the user can try again
    EXPECT_EQ(1u, signals_.size());

    click(child<QPushButton>("pushButton_title_close"));
    EXPECT_FALSE(dialog_->isVisible());
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_));
    EXPECT_TRUE(shot->isChecked());
    EXPECT_TRUE(micOpen->isChecked());
    EXPECT_FALSE(top->isChecked());
}

// Every keystroke is stored (five keys, five saves, the last text wins); the name is trimmed,
// capped at 64 characters, and an empty name is never stored: leaving the field shows the
// stored name again.
TEST_F(SettingDialogTest, DeviceNameIsStoredPerKeystrokeWithinLimits) {
    auto* edit = child<QLineEdit>("lineEdit_device_name");
    ASSERT_TRUE(edit);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    EXPECT_EQ("PC-Test", stored("cfg_device_name"));  // empty is never stored
    const QString typed = QStringLiteral("书房电脑2");
    for (int i = 0; i < typed.size(); ++i) {
        typeText(edit, typed.mid(i, 1));
        EXPECT_EQ(typed.left(i + 1), stored("cfg_device_name"));
    }
    EXPECT_EQ(typed, cfg_->deviceName());

    QTest::keyClicks(edit, "   ");
    EXPECT_EQ(typed, stored("cfg_device_name"));

    edit->selectAll();
    QTest::keyClicks(edit, QString(80, QLatin1Char('x')));
    EXPECT_EQ(QString(64, QLatin1Char('x')), stored("cfg_device_name"));

    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, "  ");
    EXPECT_EQ(QString(64, QLatin1Char('x')), stored("cfg_device_name"));
    QTest::keyClick(edit, Qt::Key_Return);  // leaves the field as far as editing goes
    EXPECT_EQ(QString(64, QLatin1Char('x')), edit->text());
}

// Choosing a folder: a writable one is stored after a probe that leaves the user's files alone
// (an existing "kivocam-test.txt" keeps its content, no file is left behind); a folder that
// cannot be written, or does not exist, is refused with the warning and the old one stays.
TEST_F(SettingDialogTest, ChoosingFolderProbesWithoutTouchingFiles) {
    const QString old = kivotest::scratchDir() + "/home";
    QTemporaryDir target(kivotest::scratchDir() + "/videos-XXXXXX");
    ASSERT_TRUE(target.isValid());
    QFile mine(target.filePath("kivocam-test.txt"));
    ASSERT_TRUE(mine.open(QIODevice::WriteOnly));
    mine.write("the user's own notes");
    mine.close();

    chooseAnswer(QString());  // cancelled
    ASSERT_EQ(1u, chooserCalls_.size());
    EXPECT_EQ("选择保存文件目录", chooserCalls_[0].first);
    EXPECT_EQ(old + "/", chooserCalls_[0].second);
    EXPECT_EQ(old, stored("cfg_save_dir"));

    chooseAnswer(target.path());
    EXPECT_TRUE(boxes_.empty());
    EXPECT_EQ(target.path(), stored("cfg_save_dir"));
    EXPECT_EQ(target.path(), child<QLineEdit>("lineEdit_save_dir")->text());
    ASSERT_TRUE(mine.open(QIODevice::ReadOnly));
    EXPECT_EQ("the user's own notes", mine.readAll());
    EXPECT_EQ(QStringList{"kivocam-test.txt"},
              QDir(target.path()).entryList(QDir::Files | QDir::Hidden | QDir::System));

    std::vector<QString> refused = {target.filePath("gone"), "/proc/kivocam"};
    QTemporaryDir locked(kivotest::scratchDir() + "/locked-XXXXXX");
    // Permissions do not stop root; /proc stands for an unwritable folder then.
    if (::geteuid() != 0) {
        QFile::setPermissions(locked.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        refused.push_back(locked.path());
    }
    refused.push_back("/proc");
    for (const QString& dir : refused) {
        boxes_.clear();
        chooseAnswer(dir);
        ASSERT_EQ(1u, boxes_.size()) << dir.toStdString();
        EXPECT_EQ(ui::BoxKind::Warning, boxes_[0].kind);
        EXPECT_EQ("错误", boxes_[0].title);
        EXPECT_EQ("当前选择路径无写入权限！", boxes_[0].text);
        EXPECT_EQ(target.path(), stored("cfg_save_dir"));
        EXPECT_EQ(target.path(), child<QLineEdit>("lineEdit_save_dir")->text());
    }
}

// The open-folder button opens only the stored folder, as a local file address, and only while
// it is a folder; a vanished folder or a failing opener is said so. The field cannot be typed
// into, and even text put there is never opened. The version check opens our download page.
TEST_F(SettingDialogTest, OpenFolderOpensOnlyStoredFolder) {
    auto* field = child<QLineEdit>("lineEdit_save_dir");
    auto* open = child<QPushButton>("pushButton_open_dir");
    ASSERT_TRUE(field && open);
    EXPECT_TRUE(field->isReadOnly());
    field->setFocus();
    QTest::keyClicks(field, "/usr/bin/xterm");
    EXPECT_EQ(kivotest::scratchDir() + "/home", field->text());

    QTemporaryDir folder(kivotest::scratchDir() + "/my folder 视频-XXXXXX");
    ASSERT_TRUE(folder.isValid());
    cfg_->setSaveDir(folder.path());
    field->setText("/usr/bin/xterm");
    click(open);
    ASSERT_EQ(1u, opened_.size());
    EXPECT_EQ(QUrl::fromLocalFile(folder.path()), opened_[0]);
    EXPECT_TRUE(boxes_.empty());

    openerWorks_ = false;
    click(open);
    ASSERT_EQ(1u, boxes_.size());
    EXPECT_EQ(ui::BoxKind::Warning, boxes_[0].kind);
    EXPECT_EQ("提示", boxes_[0].title);

    opened_.clear();
    boxes_.clear();
    folder.remove();
    click(open);
    EXPECT_TRUE(opened_.empty());
    ASSERT_EQ(1u, boxes_.size());
    EXPECT_EQ(ui::BoxKind::Warning, boxes_[0].kind);
    EXPECT_EQ("提示", boxes_[0].title);

    openerWorks_ = true;
    click(child<QPushButton>("pushButton_versioncheck"));
    ASSERT_EQ(1u, opened_.size());
    EXPECT_EQ(QUrl("https://www.kivocam.com/download/linux"), opened_[0]);
}
