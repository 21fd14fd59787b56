#include "ui/aboutusdialog.h"

#include <QCoreApplication>
#include <QUrl>

#include "ui/framelesshelper.h"
#include "ui/prompts.h"
#include "ui/qssmanager.h"
#include "ui_aboutusdialog.h"

AboutUsDialog::AboutUsDialog(QWidget* parent) : QDialog(parent), ui(new Ui::AboutUsDialog) {
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    auto* qss = new QssManager(this);
    qss->loadStyleSheet(QStringLiteral(":/qss/dialog/aboutusdialog.qss"));
    new FramelessHelper(this, this);
    noDrag_ << ui->pushButton_about_close;

    ui->pushButton_about_space->setEnabled(false);
    QString detail = tr("把手机变成电脑的摄像头和麦克风");
    const QString version = QCoreApplication::applicationVersion();
    if (!version.isEmpty()) detail += tr("　V") + version;
    ui->label_about_detail->setText(detail);
    ui->label_about_products->setText(
        tr("更多产品：<a href=\"https://www.kivocam.com/products\">Kivo产品中心</a>"));
    ui->label_about_agreement->setText(
        tr("<a href=\"https://www.kivocam.com/agreement\">用户协议</a>"
           "　|　<a href=\"https://www.kivocam.com/privacy\">隐私政策</a>"));
    ui->label_about_rights->setText(
        QStringLiteral("Copyright © 2026 KivoCam. All rights reserved."));
    connect(ui->label_about_products, &QLabel::linkActivated, this, &AboutUsDialog::slot_openUrl);
    connect(ui->label_about_agreement, &QLabel::linkActivated, this, &AboutUsDialog::slot_openUrl);
}

AboutUsDialog::~AboutUsDialog() {
    delete ui;
}

bool AboutUsDialog::inCaption(int x, int y) {
    return ui::inTitleArea(this, ui->widget_about_title, noDrag_, QPoint(x, y));
}

void AboutUsDialog::slot_openUrl(const QString& url) {
    ui::openUrl(QUrl(url));
}

void AboutUsDialog::on_pushButton_about_close_clicked() {
    close();
}
