#include "ui/rotatelabel.h"

#include <QFile>
#include <QPainter>

double RotateLabel::angle_ = 0.0;

RotateLabel::RotateLabel(QWidget* parent) : QLabel(parent) {
    setWordWrap(true);
    setAlignment(Qt::AlignCenter);
    connect(&timer_, &QTimer::timeout, this, &RotateLabel::tick);
}

void RotateLabel::setPicture(const QString& path) {
    if (!QFile::exists(path)) return;
    QPixmap pixmap(path);
    if (pixmap.isNull()) return;
    source_ = pixmap;
    scaled_ = QPixmap();
}

void RotateLabel::setInterval(int ms) {
    interval_ = ms;
}

void RotateLabel::start() {
    if (timer_.isActive()) timer_.stop();
    timer_.start(interval_);
}

void RotateLabel::stop() {
    if (timer_.isActive()) timer_.stop();
}

void RotateLabel::tick() {
    if (!source_.isNull()) {
        // The style sheet decides the label's size only once it is polished, so the picture is
        // fitted here, inside the contents and at its own aspect ratio.
        const QSize area = contentsRect().size();
        if (!area.isEmpty()) {
            const QSize want = source_.size().scaled(area, Qt::KeepAspectRatio);
            if (!want.isEmpty() && scaled_.size() != want)
                scaled_ = source_.scaled(want, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        }
        const QPixmap& picture = scaled_.isNull() ? source_ : scaled_;
        QPixmap frame(picture.size());
        frame.fill(Qt::transparent);
        QPainter painter(&frame);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const QPointF centre(picture.width() / 2.0, picture.height() / 2.0);
        painter.translate(centre);
        painter.rotate(angle_);
        painter.translate(-centre);
        painter.drawPixmap(0, 0, picture);
        painter.end();
        setPixmap(frame);
    }
    angle_ += 7.5;
    if (angle_ >= 360.0) angle_ -= 360.0;
}
