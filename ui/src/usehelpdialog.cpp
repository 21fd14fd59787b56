#include "ui/usehelpdialog.h"

#include <QUrl>

#include "ui/framelesshelper.h"
#include "ui/prompts.h"
#include "ui/qssmanager.h"
#include "ui_usehelpdialog.h"

UseHelpDialog::UseHelpDialog(QWidget* parent) : QDialog(parent), ui(new Ui::UseHelpDialog) {
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    auto* qss = new QssManager(this);
    qss->loadStyleSheet(QStringLiteral(":/qss/dialog/helpdialog.qss"));
    new FramelessHelper(this, this);
    noDrag_ << ui->pushButton_help_close;

    ui->label_help_step1->setText(
        tr("1. 请下载移动端虚拟摄像头APP，或<a "
           "href=\"https://www.kivocam.com/download\">点击这里下载</a>"));
    connect(ui->label_help_step1, &QLabel::linkActivated, this, &UseHelpDialog::slot_openUrl);
}

UseHelpDialog::~UseHelpDialog() {
    delete ui;
}

bool UseHelpDialog::inCaption(int x, int y) {
    return ui::inTitleArea(this, ui->widget_help_title, noDrag_, QPoint(x, y));
}

void UseHelpDialog::slot_openUrl(const QString& url) {
    ui::openUrl(QUrl(url));
}

void UseHelpDialog::on_pushButton_help_close_clicked() {
    close();
}
