#include "fitcheck.h"

#include <QAbstractButton>
#include <QLabel>
#include <QWidget>

namespace gallery {
namespace {

QString describe(const QWidget* w, const QString& text, QSize need) {
    return QStringLiteral("%1: %2 (needs %3x%4, has %5x%6)")
        .arg(w->objectName(), QString(text).replace('\n', QLatin1String("\\n")))
        .arg(need.width())
        .arg(need.height())
        .arg(w->width())
        .arg(w->height());
}

QSize labelNeeds(const QLabel* label) {
    if (!label->wordWrap()) return label->sizeHint();
    // A wrapping label only needs the height its text takes at the width it was given.
    return QSize(label->width(), label->heightForWidth(label->width()));
}

}  // namespace

QStringList clippedTexts(const QWidget* window) {
    QStringList clipped;
    for (const QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window)) continue;
        if (const auto* label = qobject_cast<const QLabel*>(w)) {
            if (label->text().isEmpty()) continue;
            const QSize need = labelNeeds(label);
            if (need.width() > label->width() || need.height() > label->height())
                clipped << describe(label, label->text(), need);
        } else if (const auto* button = qobject_cast<const QAbstractButton*>(w)) {
            if (button->text().isEmpty()) continue;
            const QSize need = button->sizeHint();
            if (need.width() > button->width() || need.height() > button->height())
                clipped << describe(button, button->text(), need);
        }
    }
    return clipped;
}

}  // namespace gallery
