#include "ui/helpinfodialog.h"

#include <QFile>
#include <QUrl>

#include "ui/framelesshelper.h"
#include "ui/language.h"
#include "ui/prompts.h"
#include "ui/qssmanager.h"
#include "ui_helpinfodialog.h"

HelpInfoDialog::HelpInfoDialog(QWidget* parent) : QDialog(parent), ui(new Ui::HelpInfoDialog) {
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    auto* qss = new QssManager(this);
    qss->loadStyleSheet(QStringLiteral(":/qss/dialog/helpinfodialog.qss"));
    new FramelessHelper(this, this);
    noDrag_ << ui->pushButton_helpinfo_close;

    QFile page(ui::helpPagePath());
    ui->label_helpinfo_content->setText(
        page.open(QIODevice::ReadOnly) ? QString::fromUtf8(page.readAll()) : QString());
    connect(ui->label_helpinfo_content, &QLabel::linkActivated, this,
            &HelpInfoDialog::slot_openUrl);
}

HelpInfoDialog::~HelpInfoDialog() {
    delete ui;
}

bool HelpInfoDialog::inCaption(int x, int y) {
    return ui::inTitleArea(this, ui->widget_helpinfo_title, noDrag_, QPoint(x, y));
}

void HelpInfoDialog::slot_openUrl(const QString& url) {
    ui::openUrl(QUrl(url));
}

void HelpInfoDialog::on_pushButton_helpinfo_close_clicked() {
    close();
}
