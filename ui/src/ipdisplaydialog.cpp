#include "ui/ipdisplaydialog.h"

#include <QPainterPath>
#include <QRegion>
#include <QResizeEvent>

#include "config/kivocamdata.h"
#include "ui/qssmanager.h"
#include "ui_ipdisplaydialog.h"

IPDisplayDialog::IPDisplayDialog(QWidget* parent) : QDialog(parent), ui(new Ui::IPDisplayDialog) {
    ui->setupUi(this);
    // A pop-up placed at a screen position: the tool-tip kind is placed where asked on X11 and
    // stacks above its parent on Wayland; it must never take the focus from the main window.
    setWindowFlags(Qt::ToolTip | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_ShowWithoutActivating);
    auto* qss = new QssManager(this);
    qss->loadStyleSheet(QStringLiteral(":/qss/dialog/ipdisplaydialog.qss"));
}

IPDisplayDialog::~IPDisplayDialog() {
    delete ui;
}

void IPDisplayDialog::setText(const QString& text) {
    ui->label_ipdisplay->setText(text);
    adjustSize();
}

QString IPDisplayDialog::text() const {
    return ui->label_ipdisplay->text();
}

void IPDisplayDialog::refreshAddress() {
    const QString ip = KivoCamData::instance()->ipAddress();
    setText(ip.isEmpty() ? QStringLiteral("-.-.-.-") : ip);
}

void IPDisplayDialog::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    // The style sheet rounds the bubble by 6 px at 96 DPI.
    const qreal radius = 6 * QssManager::scaleFactor();
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), radius, radius);
    setMask(QRegion(shape.toFillPolygon().toPolygon()));
}
