#include "ui/menustateform.h"

#include <QDebug>
#include <QEvent>
#include <QFontMetrics>
#include <QTimer>

#include "config/kivocamdata.h"
#include "ui/aboutusdialog.h"
#include "ui/firsttooltipsform.h"
#include "ui/ipdisplaydialog.h"
#include "ui/qssmanager.h"
#include "ui/settingdialog.h"
#include "ui/usehelpdialog.h"
#include "ui_menustateform.h"

namespace {

const char* const kSpeakerOn =
    "min-width: 23px; max-width: 23px; min-height: 37px; max-height: 37px; border-image: "
    "url(:/image/menu_volumn.png);";
const char* const kSpeakerOff =
    "min-width: 23px; max-width: 23px; min-height: 37px; max-height: 37px; border-image: "
    "url(:/image/menu_volumn_disabled.png);";
const char* const kTimeZero = "00:00:00";
// Room for a phone's name in the bar, before DPI scaling.
constexpr int kNameWidth = 180;

}  // namespace

QPointer<IPDisplayDialog> MenuStateForm::bubble_;

MenuStateForm::MenuStateForm(QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::MenuStateForm>()) {
    ui_->setupUi(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    qss_ = new QssManager(this);
    qss_->loadStyleSheet(":/qss/parts/menustateform.qss");

    ui_->pushButton_menu_camera_set->hide();
    ui_->pushButton_menu_camera_set->setToolTip(QString());
    ui_->label_menu_time->hide();
    ui_->label_menu_time->setText(kTimeZero);
    ui_->pushButton_menu_record->setCheckable(true);
    enableMirrorActions(false);
    enableVolumeMeter(false);
    ui_->pushButton_menu_ip->installEventFilter(this);
    ipPopup_ = new IPDisplayDialog(ui_->pushButton_menu_ip);
    ui_->pushButton_menu_set->setToolTip(tr("更多设置"));
    ui_->pushButton_menu_help->setToolTip(tr("使用帮助"));
    ui_->pushButton_menu_aboutus->setToolTip(tr("关于我们"));
    ui_->pushButton_menu_cutscm->setToolTip(QString());
    ui_->pushButton_menu_record->setToolTip(QString());
}

MenuStateForm::~MenuStateForm() = default;

SettingDialog* MenuStateForm::settingDialog() const {
    return settingDialog_;
}

IPDisplayDialog* MenuStateForm::ipPopup() const {
    return ipPopup_;
}

FirstTooltipsForm* MenuStateForm::firstTooltip() const {
    return firstTooltip_;
}

IPDisplayDialog* MenuStateForm::screenshotBubble() {
    return bubble_;
}

void MenuStateForm::showPhoneName(const QString& name) {
    if (name.isEmpty()) {
        ui_->label_menu_state->setText(tr("未连接"));
        ui_->label_menu_state->setToolTip(QString());
        return;
    }
    const QFontMetrics metrics(ui_->label_menu_state->font());
    const int room = int(kNameWidth * QssManager::scaleFactor());
    ui_->label_menu_state->setText(
        tr("已连接%1").arg(metrics.elidedText(name.simplified(), Qt::ElideRight, room)));
    ui_->label_menu_state->setToolTip(name.toHtmlEscaped());
}

void MenuStateForm::showConnected(const QString& name) {
    if (name.isEmpty()) {
        ui_->label_menu_state->setText(tr("已连接"));
        ui_->label_menu_state->setToolTip(QString());
    } else {
        showPhoneName(name);
    }
}

void MenuStateForm::enableMirrorActions(bool on) {
    if (ui_->pushButton_menu_record->isChecked()) {
        ui_->pushButton_menu_record->setChecked(false);
        ui_->label_menu_time->hide();
        emit sig_recoderStop();
        ui_->label_menu_time->setText(kTimeZero);
    }
    ui_->pushButton_menu_cutscm->setEnabled(on);
    ui_->pushButton_menu_record->setEnabled(on);
    ui_->pushButton_menu_cutscm->setToolTip(on ? tr("截屏") : QString());
    ui_->pushButton_menu_record->setToolTip(on ? tr("录屏") : QString());
}

void MenuStateForm::enableVolumeMeter(bool on) {
    setSpeakerStyle(on);
    ui_->widget_all->setVisible(on);
    if (!on) slot_setVolumnValue(0.0);
}

void MenuStateForm::setRecordTime(const QString& text) {
    ui_->label_menu_time->setText(text);
}

void MenuStateForm::remoteRecordStart() {
    ui_->pushButton_menu_record->setChecked(true);
    ui_->label_menu_time->show();
    emit sig_recoderStart();
}

void MenuStateForm::remoteRecordStop() {
    ui_->pushButton_menu_record->setChecked(false);
    ui_->label_menu_time->hide();
    emit sig_recoderStop();
    ui_->label_menu_time->setText(kTimeZero);
}

void MenuStateForm::setMicSwitch(bool on) {
    ensureSettingDialog();
    settingDialog_->setMicSwitch(on);
}

void MenuStateForm::showFirstTooltip() {
    if (!KivoCamData::instance()->firstOpen()) return;
    if (!firstTooltip_) {
        firstTooltip_ = new FirstTooltipsForm(window());
        connect(firstTooltip_, &FirstTooltipsForm::sig_firstClose, this,
                &MenuStateForm::slot_closeHelpFresh);
    }
    firstTooltip_->move(popupPosition(ui_->pushButton_menu_help, 118, firstTooltip_->height()));
    firstTooltip_->show();
}

void MenuStateForm::showScreenshotBubble() {
    if (bubble_) return;
    bubble_ = new IPDisplayDialog(ui_->pushButton_menu_cutscm);
    bubble_->setText(tr("截屏成功，可在\n设置中打开目录查看"));
    bubble_->move(popupPosition(ui_->pushButton_menu_cutscm, 10, ipPopup_->height() + 15));
    bubble_->show();
    QPointer<IPDisplayDialog> shown = bubble_;
    QTimer::singleShot(2000, Qt::CoarseTimer, shown, [shown] {
        if (!shown) return;
        shown->hide();
        shown->deleteLater();
    });
}

void MenuStateForm::slot_setVolumnValue(double radio) {
    const int height = int(meterHeight_ * radio);
    ui_->widget_cur->setFixedHeight(height);
    qDebug() << "widget_height:" << ui_->widget_cur->height();
}

void MenuStateForm::slot_closeHelpFresh() {
    KivoCamData* data = KivoCamData::instance();
    data->setFirstOpen(false);
    data->save();
    if (firstTooltip_) {
        firstTooltip_->close();
        firstTooltip_->deleteLater();
        firstTooltip_ = nullptr;
    }
}

void MenuStateForm::on_pushButton_menu_set_clicked() {
    ensureSettingDialog();
    settingDialog_->exec();
}

void MenuStateForm::on_pushButton_menu_aboutus_clicked() {
    AboutUsDialog dialog(window());
    dialog.exec();
}

void MenuStateForm::on_pushButton_menu_record_clicked(bool checked) {
    ui_->label_menu_time->setVisible(checked);
    if (checked) {
        emit sig_recoderStart();
    } else {
        emit sig_recoderStop();
        ui_->label_menu_time->setText(kTimeZero);
    }
}

void MenuStateForm::on_pushButton_menu_cutscm_clicked() {
    emit sig_screenShot();
}

void MenuStateForm::on_pushButton_menu_help_clicked() {
    slot_closeHelpFresh();
    UseHelpDialog dialog(window());
    dialog.exec();
}

void MenuStateForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The column's height comes from the style sheet, known once the form is polished.
    ensurePolished();
    ui_->widget_all->ensurePolished();
    meterHeight_ = ui_->widget_all->height();
    if (meterHeight_ <= 0) meterHeight_ = ui_->widget_all->sizeHint().height();
}

bool MenuStateForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui_->pushButton_menu_ip && ipPopup_) {
        if (event->type() == QEvent::Enter) {
            ipPopup_->refreshAddress();
            ipPopup_->move(popupPosition(ui_->pushButton_menu_ip, 10, ipPopup_->height() + 15));
            ipPopup_->show();
            return true;
        }
        if (event->type() == QEvent::Leave) {
            ipPopup_->hide();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void MenuStateForm::ensureSettingDialog() {
    if (!settingDialog_) settingDialog_ = new SettingDialog(window());
}

void MenuStateForm::setSpeakerStyle(bool connected) {
    ui_->label_menu_volumn_img->setStyleSheet(connected ? kSpeakerOn : kSpeakerOff);
}

QPoint MenuStateForm::popupPosition(QWidget* button, int dx, int dy) const {
    const double s = QssManager::scaleFactor();
    const QPoint corner = button->mapToGlobal(QPoint(0, 0));
    return QPoint(int(corner.x() - dx * s), int(corner.y() - dy * s));
}
