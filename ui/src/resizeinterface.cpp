#include "ui/resizeinterface.h"

#include <QPoint>
#include <QWidget>

bool ResizeInterface::onTopEdge(int, int) {
    return false;
}
bool ResizeInterface::onBottomEdge(int, int) {
    return false;
}
bool ResizeInterface::onLeftEdge(int, int) {
    return false;
}
bool ResizeInterface::onRightEdge(int, int) {
    return false;
}
void ResizeInterface::onSizing(int, int&, int&, int&, int&) {}

namespace ui {

bool inTitleArea(const QWidget* window, const QWidget* title, const QList<QWidget*>& noDrag,
                 const QPoint& global) {
    const QPoint local = window->mapFromGlobal(global);
    if (!window->rect().contains(local)) return false;
    if (title && local.y() > title->mapTo(window, QPoint(0, title->height())).y()) return false;
    for (const QWidget* w : noDrag) {
        if (w && w->isVisible() && w->rect().contains(w->mapFromGlobal(global))) return false;
    }
    return true;
}

}  // namespace ui
