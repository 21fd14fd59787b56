#include "ui/framelesshelper.h"

#include <QEvent>
#include <QMouseEvent>
#include <QWindow>

#include <map>

#include "ui/resizeinterface.h"

namespace {

// Native window handle -> the interface that answers for it. GUI thread only.
std::map<WId, ResizeInterface*>& table() {
    static std::map<WId, ResizeInterface*> entries;
    return entries;
}

}  // namespace

FramelessHelper::FramelessHelper(QWidget* window, ResizeInterface* iface)
    : QObject(window), window_(window), iface_(iface) {
    window_->installEventFilter(this);
    // A window that already has its native window gets no further id change until re-created.
    if (window_->internalWinId()) attach();
}

FramelessHelper::~FramelessHelper() {
    detach();
    if (watched_) watched_->removeEventFilter(this);
}

ResizeInterface* FramelessHelper::lookup(WId handle) {
    const auto it = table().find(handle);
    return it == table().end() ? nullptr : it->second;
}

int FramelessHelper::tableSize() {
    return int(table().size());
}

void FramelessHelper::attach() {
    detach();
    const WId id = window_->internalWinId();
    if (id && table().emplace(id, iface_).second) handle_ = id;
    QWindow* handle = window_->windowHandle();
    if (handle != watched_) {
        if (watched_) watched_->removeEventFilter(this);
        watched_ = handle;
        if (watched_) watched_->installEventFilter(this);
    }
}

void FramelessHelper::detach() {
    if (handle_) {
        const auto it = table().find(handle_);
        if (it != table().end() && it->second == iface_) table().erase(it);
        handle_ = 0;
    }
    dragging_ = false;
}

bool FramelessHelper::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_) {
        // The native window is created on first show and re-created by some flag changes; the
        // table follows it, so the window stays draggable.
        if (event->type() == QEvent::WinIdChange) attach();
        return false;
    }
    if (watched == watched_) return handleMouse(event);
    return false;
}

bool FramelessHelper::handleMouse(QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseButtonPress: {
            auto* me = static_cast<QMouseEvent*>(event);
            if (me->button() != Qt::LeftButton) return false;
            ResizeInterface* iface = lookup(window_->internalWinId());
            const QPoint global = me->globalPos();
            if (!iface || !iface->inCaption(global.x(), global.y())) return false;
            if (watched_ && watched_->startSystemMove()) return true;
            // No window manager to hand the move to: follow the mouse ourselves.
            dragging_ = true;
            dragOffset_ = global - window_->frameGeometry().topLeft();
            return true;
        }
        case QEvent::MouseMove: {
            if (!dragging_) return false;
            auto* me = static_cast<QMouseEvent*>(event);
            if (!(me->buttons() & Qt::LeftButton)) {
                dragging_ = false;
                return false;
            }
            window_->move(me->globalPos() - dragOffset_);
            return true;
        }
        case QEvent::MouseButtonRelease: {
            if (!dragging_) return false;
            auto* me = static_cast<QMouseEvent*>(event);
            if (me->button() != Qt::LeftButton) return false;
            window_->move(me->globalPos() - dragOffset_);
            dragging_ = false;
            return true;
        }
        default:
            return false;
    }
}
