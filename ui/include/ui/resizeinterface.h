// What a frameless window tells FramelessHelper about its own surface: where the drag area is and
// whether an edge may resize it. Every window of the program refuses edge resizing.
// Thread rules: GUI thread only.
#pragma once

#include <QList>

class QPoint;
class QWidget;

class ResizeInterface {
public:
    virtual ~ResizeInterface() = default;
    virtual bool onTopEdge(int x, int y);
    virtual bool onBottomEdge(int x, int y);
    virtual bool onLeftEdge(int x, int y);
    virtual bool onRightEdge(int x, int y);
    // Global coordinates; true where a press starts a window drag.
    virtual bool inCaption(int x, int y) = 0;
    // edges: top = 1, bottom = 2, left = 4, right = 8. The sides are passed by reference.
    virtual void onSizing(int edges, int& top, int& bottom, int& left, int& right);
};

namespace ui {
// The caption rule the dialogs share: inside the window, not below the title widget, not on any
// widget of the non-drag list.
bool inTitleArea(const QWidget* window, const QWidget* title, const QList<QWidget*>& noDrag,
                 const QPoint& global);
}  // namespace ui
