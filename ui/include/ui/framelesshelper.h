// Gives a frameless window a draggable title area. A left press where the window's
// ResizeInterface::inCaption answers true starts the window manager's move; without a window
// manager the window follows the mouse until release. No edge resizing.
// One process-wide table maps native window handles to their ResizeInterface; a second helper
// for a handle that is already registered leaves the table unchanged.
// Thread rules: GUI thread only.
#pragma once

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QWidget>

class QWindow;
class ResizeInterface;

class FramelessHelper : public QObject {
    Q_OBJECT

public:
    // The helper becomes a child of window.
    FramelessHelper(QWidget* window, ResizeInterface* iface);
    ~FramelessHelper() override;

    // The interface registered for a native handle, or null.
    static ResizeInterface* lookup(WId handle);
    static int tableSize();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Follows the window's native handle, which a flag change re-creates.
    void attach();
    void detach();
    bool handleMouse(QEvent* event);

    QWidget* window_;
    ResizeInterface* iface_;
    QPointer<QWindow> watched_;
    WId handle_ = 0;  // the entry this helper added, 0 when none
    bool dragging_ = false;
    QPoint dragOffset_;  // press point relative to the window's top-left, global coordinates
};
