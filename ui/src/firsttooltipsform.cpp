#include "ui/firsttooltipsform.h"

#include <QPainter>
#include <QRegion>

#include "ui_firsttooltipsform.h"

FirstTooltipsForm::FirstTooltipsForm(QWidget* parent)
    : QWidget(parent), ui(new Ui::FirstTooltipsForm) {
    ui->setupUi(this);
    // The tool-tip kind: placed where asked on X11, kept above its parent on Wayland.
    setWindowFlags(Qt::ToolTip | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setContentsMargins(0, 0, 0, 0);
    layout()->setContentsMargins(25, 25, 25, 25);
    ui->label_ftip_text->setStyleSheet(QStringLiteral(
        "QLabel {font-family:\"Microsoft YaHei\"; font-size: 9pt; color: #FFFFFF;}"));
    ui->pushButton_ftip_close->setStyleSheet(QStringLiteral(
        "QPushButton {border: none;background-color: transparent;font-family:\"Microsoft "
        "YaHei\";font-size: 9pt;color: #ec372c;}QPushButton:hover {color: "
        "#FF0000;}QPushButton:pressed {color: #C00000;}"));
    adjustSize();
    updateMask();
}

FirstTooltipsForm::~FirstTooltipsForm() {
    delete ui;
}

void FirstTooltipsForm::setBackgroundColor(const QColor& color) {
    color_ = color;
    update();
}

void FirstTooltipsForm::setArrow(int side, double position) {
    arrowSide_ = side;
    arrowPos_ = qBound(0.0, position, 1.0);
    updateMask();
    update();
}

void FirstTooltipsForm::setTextColor(const QColor& color) {
    ui->label_ftip_text->setStyleSheet(QStringLiteral("color: rgb(%1, %2, %3)")
                                           .arg(color.red())
                                           .arg(color.green())
                                           .arg(color.blue()));
}

void FirstTooltipsForm::setText(const QString& text) {
    ui->label_ftip_text->setText(text);
    adjustSize();
}

QPainterPath FirstTooltipsForm::bubblePath() const {
    QPainterPath path;
    const QRectF box = QRectF(rect()).adjusted(20, 20, -20, -20);
    path.addRoundedRect(box, 4, 4);
    const double w = width();
    const double h = height();
    QPointF tip, a, b;
    switch (arrowSide_) {
        case ArrowLeft: {
            const double y = h * arrowPos_;
            tip = {10, y}, a = {20, y - 10}, b = {20, y + 10};
            break;
        }
        case ArrowTop: {
            const double x = w * arrowPos_;
            tip = {x, 10}, a = {x - 10, 20}, b = {x + 10, 20};
            break;
        }
        case ArrowRight: {
            const double y = h * arrowPos_;
            tip = {w - 10, y}, a = {w - 20, y - 10}, b = {w - 20, y + 10};
            break;
        }
        default: {
            const double x = w * arrowPos_;
            tip = {x, h - 10}, a = {x - 10, h - 20}, b = {x + 10, h - 20};
            break;
        }
    }
    QPainterPath arrow;
    arrow.moveTo(tip);
    arrow.lineTo(a);
    arrow.lineTo(b);
    arrow.closeSubpath();
    return path.united(arrow);
}

void FirstTooltipsForm::on_pushButton_ftip_close_clicked() {
    close();
    emit sig_firstClose();
}

void FirstTooltipsForm::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(color_);
    p.drawPath(bubblePath());
}

void FirstTooltipsForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    updateMask();
}

void FirstTooltipsForm::updateMask() {
    // Without a compositor the translucent corners would show black; the mask cuts them away.
    setMask(QRegion(bubblePath().toFillPolygon().toPolygon(), Qt::WindingFill));
}
