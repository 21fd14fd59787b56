#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QWidget>
#include <QWindow>

#include "config/kivocamdata.h"
#include "ui/framelesshelper.h"
#include "ui/settingdialog.h"
#include "ui/skin.h"

namespace {

struct OtherInterface : ResizeInterface {
    bool inCaption(int, int) override { return true; }
};

// A press-move-release through the window system, as a mouse would deliver it.
void drag(QWidget* window, QPoint from, QPoint by) {
    QWindow* handle = window->windowHandle();
    QTest::mousePress(handle, Qt::LeftButton, {}, from);
    QTest::mouseMove(handle, from + by);
    // The window has moved by now; the same point of the window is under the mouse again.
    QTest::mouseRelease(handle, Qt::LeftButton, {}, from);
}

class Frameless : public ::testing::Test {
protected:
    void SetUp() override {
        ui::initSkin();
        dialog_ = new SettingDialog(nullptr);
        dialog_->move(100, 100);
        dialog_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_));
    }
    void TearDown() override { delete dialog_; }
    template <typename T>
    T* child(const char* name) {
        T* w = dialog_->findChild<T*>(name);
        EXPECT_NE(nullptr, w) << name;
        return w;
    }

    SettingDialog* dialog_ = nullptr;
};

}  // namespace

// The table holds one entry per native window; a second helper for the same window must not
// replace the first one's interface, and a helper's entry goes with it.
TEST_F(Frameless, SecondHelperLeavesTableUnchanged) {
    const WId id = dialog_->winId();
    ASSERT_EQ(static_cast<ResizeInterface*>(dialog_), FramelessHelper::lookup(id));
    const int size = FramelessHelper::tableSize();
    OtherInterface other;
    auto* second = new FramelessHelper(dialog_, &other);
    EXPECT_EQ(size, FramelessHelper::tableSize());
    EXPECT_EQ(static_cast<ResizeInterface*>(dialog_), FramelessHelper::lookup(id));
    delete second;
    EXPECT_EQ(static_cast<ResizeInterface*>(dialog_), FramelessHelper::lookup(id));

    QWidget plain;
    plain.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    plain.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&plain));
    const WId plainId = plain.winId();
    {
        FramelessHelper helper(&plain, &other);
        EXPECT_EQ(&other, FramelessHelper::lookup(plainId));
        EXPECT_EQ(size + 1, FramelessHelper::tableSize());
    }
    EXPECT_EQ(nullptr, FramelessHelper::lookup(plainId));
    EXPECT_EQ(size, FramelessHelper::tableSize());
}

// Xvfb runs no window manager, so the helper moves the window itself; a press on the close
// button still reaches the button. After a flag change re-creates the native window (as the
// main window's on-top switch does) the window can still be dragged.
TEST_F(Frameless, DragMovesWindowAndButtonsKeepClicks) {
    auto* name = child<QLabel>("label_set_titlename");
    auto* close = child<QPushButton>("pushButton_title_close");
    ASSERT_TRUE(name && close);
    const QPoint start = dialog_->pos();
    const QPoint grip = name->mapTo(dialog_, name->rect().center());
    drag(dialog_, grip, QPoint(40, 30));
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog_->pos() == start + QPoint(40, 30); }));

    // A drag below the title moves nothing.
    auto* body = child<QWidget>("widget_set_main");
    const QPoint bodyPoint = body->mapTo(dialog_, QPoint(5, body->height() - 5));
    drag(dialog_, bodyPoint, QPoint(25, 25));  // QTest delivers synchronously
    EXPECT_EQ(start + QPoint(40, 30), dialog_->pos());

    dialog_->setWindowFlags(dialog_->windowFlags() | Qt::WindowStaysOnTopHint);
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_));
    EXPECT_EQ(static_cast<ResizeInterface*>(dialog_), FramelessHelper::lookup(dialog_->winId()));
    const QPoint before = dialog_->pos();
    drag(dialog_, grip, QPoint(-20, 15));
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog_->pos() == before + QPoint(-20, 15); }));

    QTest::mouseClick(dialog_->windowHandle(), Qt::LeftButton, {},
                      close->mapTo(dialog_, close->rect().center()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog_->isVisible(); }));
}
