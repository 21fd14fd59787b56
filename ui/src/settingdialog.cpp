#include "ui/settingdialog.h"

#include <QButtonGroup>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include "config/kivocamdata.h"
#include "config/savefolder.h"
#include "kivobridge/bridge.h"
#include "ui/framelesshelper.h"
#include "ui/prompts.h"
#include "ui/qssmanager.h"
#include "ui_settingdialog.h"

namespace {

// No update facility on Linux: the download page says what is new.
const char kDownloadPage[] = "https://www.kivocam.com/download/linux";

void publish(const char* name, bool value) {
    if (bg::CD) bg::CD->signalBus()->publish(name, bg::Value(value));
}

}  // namespace

SettingDialog::SettingDialog(QWidget* parent) : QDialog(parent), ui(new Ui::SettingDialog) {
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    auto* qss = new QssManager(this);
    qss->loadStyleSheet(QStringLiteral(":/qss/dialog/settingdialog.qss"));

    new FramelessHelper(this, this);
    noDrag_ << ui->pushButton_title_close;

    KivoCamData* cfg = KivoCamData::instance();
    ui->pushButton_title_space->setEnabled(false);
    ui->checkBox_shotOpendir->setChecked(cfg->openShotDir());
    auto* group = new QButtonGroup(this);
    group->setExclusive(true);
    group->addButton(ui->radioButton_vmic_open);
    group->addButton(ui->radioButton_vmic_close);
    micSwitch_ = cfg->openVirtualMic();
    (micSwitch_ ? ui->radioButton_vmic_open : ui->radioButton_vmic_close)->setChecked(true);
    ui->widget_space->hide();
    ui->pushButton_tooltips->setToolTip(tr("本机在其他设备上显示的名称，修改后重启软件才能生效"));
    ui->lineEdit_device_name->setMaxLength(kMaxDeviceName);
    {
        // Filling in the stored name is not an edit.
        const QSignalBlocker block(ui->lineEdit_device_name);
        ui->lineEdit_device_name->setText(cfg->deviceName());
    }
    // Changed only through the chooser, so a typed program or address is never opened.
    ui->lineEdit_save_dir->setReadOnly(true);
    ui->lineEdit_save_dir->setText(cfg->saveDir());
    {
        const QSignalBlocker block(ui->checkBox_wintop);
        ui->checkBox_wintop->setChecked(cfg->isWindowOnTop());
    }
    connect(ui->lineEdit_device_name, &QLineEdit::editingFinished, this,
            &SettingDialog::restoreDeviceName);
}

SettingDialog::~SettingDialog() {
    delete ui;
}

bool SettingDialog::inCaption(int x, int y) {
    return ui::inTitleArea(this, ui->widget_set_title, noDrag_, QPoint(x, y));
}

void SettingDialog::setMicSwitch(bool on) {
    (on ? ui->radioButton_vmic_open : ui->radioButton_vmic_close)->setChecked(true);
    micSwitch_ = on;
    KivoCamData* cfg = KivoCamData::instance();
    cfg->setOpenVirtualMic(on);
    cfg->save();
}

void SettingDialog::on_pushButton_title_close_clicked() {
    hide();
}

void SettingDialog::on_pushButton_versioncheck_clicked() {
    const QString page = QString::fromLatin1(kDownloadPage);
    if (!ui::openUrl(QUrl(page))) {
        ui::showBox(this, ui::BoxKind::Information, tr("提示"),
                    tr("请访问 %1 下载最新版本。").arg(page));
    }
}

void SettingDialog::on_pushButton_select_dir_clicked() {
    QString start = ui->lineEdit_save_dir->text();
    if (!start.endsWith(QLatin1Char('/'))) start += QLatin1Char('/');
    const QString dir = ui::chooseDirectory(this, tr("选择保存文件目录"), start);
    if (dir.isEmpty()) return;
    if (!savefolder::isWritable(dir)) {
        ui::showBox(window(), ui::BoxKind::Warning, tr("错误"), tr("当前选择路径无写入权限！"));
        return;
    }
    KivoCamData* cfg = KivoCamData::instance();
    cfg->setSaveDir(dir);
    cfg->save();
    ui->lineEdit_save_dir->setText(dir);
}

void SettingDialog::on_pushButton_open_dir_clicked() {
    // Only the stored folder, and only a folder: never whatever text the field might hold.
    const QString dir = KivoCamData::instance()->saveDir();
    if (!QFileInfo(dir).isDir()) {
        ui::showBox(this, ui::BoxKind::Warning, tr("提示"), tr("保存目录不存在：%1").arg(dir));
        return;
    }
    if (!ui::openUrl(QUrl::fromLocalFile(dir))) {
        ui::showBox(this, ui::BoxKind::Warning, tr("提示"), tr("无法打开保存目录：%1").arg(dir));
    }
}

void SettingDialog::on_lineEdit_device_name_textChanged(const QString& arg1) {
    // An empty name is never stored; the field shows the stored one again on leaving it.
    const QString name = arg1.trimmed().left(kMaxDeviceName);
    if (name.isEmpty()) return;
    KivoCamData::instance()->setDeviceName(name);
}

void SettingDialog::restoreDeviceName() {
    const QString stored = KivoCamData::instance()->deviceName();
    if (ui->lineEdit_device_name->text() == stored) return;
    const QSignalBlocker block(ui->lineEdit_device_name);
    ui->lineEdit_device_name->setText(stored);
}

void SettingDialog::on_checkBox_wintop_stateChanged(int arg1) {
    KivoCamData::instance()->setWindowOnTop(arg1 != 0);
    publish("mainWindows.wintop", arg1 != 0);
}

void SettingDialog::on_radioButton_vmic_open_clicked() {
    if (micSwitch_) return;
    // Stored before the announcement, so an outcome reported back at once is not overwritten.
    micSwitch_ = true;
    KivoCamData* cfg = KivoCamData::instance();
    cfg->setOpenVirtualMic(true);
    cfg->save();
    publish("mainWindows.virtualMic", true);
}

void SettingDialog::on_radioButton_vmic_close_clicked() {
    if (!micSwitch_) return;
    // Stored before the announcement, so an outcome reported back at once is not overwritten.
    micSwitch_ = false;
    KivoCamData* cfg = KivoCamData::instance();
    cfg->setOpenVirtualMic(false);
    cfg->save();
    publish("mainWindows.virtualMic", false);
}

void SettingDialog::on_checkBox_shotOpendir_stateChanged(int arg1) {
    KivoCamData* cfg = KivoCamData::instance();
    cfg->setOpenShotDir(arg1 != 0);
    cfg->save();
}
