// The main window's forms and frame as a user meets them: pages, the picture's fit, the level
// meter, the record button and clock, the pop-ups, the phone's name, the caption and the window
// buttons. Real widgets on a real (virtual) X server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QWindow>

#include <cstring>

#include "config/kivocamdata.h"
#include "output/openglwidget.h"
#include "test_env.h"
#include "ui/firsttooltipsform.h"
#include "ui/ipdisplaydialog.h"
#include "ui/mainform.h"
#include "ui/mainwindow.h"
#include "ui/menustateform.h"
#include "ui/qssmanager.h"
#include "ui/rotatelabel.h"
#include "ui/skin.h"
#include "windowtest.h"

using windowtest::waitFor;

namespace {

I420FramePtr grey(int width, int height) {
    auto frame = std::make_shared<I420Frame>(width, height, width, width / 2, width / 2);
    std::memset(frame->dataY(), 128, frame->bufferSize());
    return frame;
}

template <typename T>
T* child(QWidget* parent, const char* name) {
    T* found = parent->findChild<T*>(name);
    EXPECT_TRUE(found) << name;
    return found;
}

}  // namespace

// The fit never divides by an empty size and keeps the picture's aspect ratio; on screen the
// picture area fits the frame's contents, so a portrait phone in a wide window is not clipped.
TEST(MainFormTest, PagesFollowTheStateAndThePictureFits) {
    ui::initSkin();
    EXPECT_EQ(QSize(337, 600), MainForm::fitSize({1000, 600}, 720.0 / 1280.0));
    EXPECT_EQ(QSize(1000, 562), MainForm::fitSize({1000, 600}, 1280.0 / 720.0));
    EXPECT_TRUE(MainForm::fitSize({0, 600}, 1.0).isEmpty());
    EXPECT_TRUE(MainForm::fitSize({1000, -5}, 1.0).isEmpty());
    EXPECT_TRUE(MainForm::fitSize({1000, 600}, 0.0).isEmpty());

    MainForm form;
    form.resize(1000, 600);
    form.show();
    ASSERT_TRUE(
        waitFor([&] { return form.windowHandle() && form.windowHandle()->isExposed(); }, 5000));
    auto* spinner = child<RotateLabel>(&form, "label_imgwait");
    EXPECT_EQ(MainForm::kWaitPage, form.currentPage());
    EXPECT_TRUE(spinner->isRunning());
    form.showPage(MainForm::kLinkPage);
    EXPECT_EQ(MainForm::kLinkPage, form.currentPage());
    EXPECT_FALSE(spinner->isRunning());
    form.showPage(7);
    EXPECT_EQ(MainForm::kLinkPage, form.currentPage());

    form.showPage(MainForm::kDisplayPage);
    EXPECT_FALSE(spinner->isRunning());
    form.showFrame(grey(720, 1280));
    EXPECT_TRUE(waitFor([&] { return form.renderer()->size() == QSize(337, 600); }, 3000))
        << form.renderer()->width() << "x" << form.renderer()->height();
    form.showFrame(grey(1280, 720));
    EXPECT_TRUE(waitFor([&] { return form.renderer()->size() == QSize(1000, 562); }, 3000));
    // A shrinking window shrinks the picture with it.
    form.resize(500, 600);
    EXPECT_TRUE(waitFor([&] { return form.renderer()->size() == QSize(500, 281); }, 3000));
    form.showFrame(grey(0, 0));  // refused, never divides
    EXPECT_DOUBLE_EQ(1280.0 / 720.0, form.aspect());

    form.showPage(MainForm::kWaitPage);
    EXPECT_TRUE(spinner->isRunning());

    // The phone's name is text, never markup.
    form.showPhoneName("<b>Evil</b>");
    auto* success = child<QLabel>(&form, "label_success");
    EXPECT_EQ(Qt::PlainText, success->textFormat());
    EXPECT_EQ(QString::fromUtf8("连接成功\n<b>Evil</b>"), success->text());
    const QString longName(300, QChar('W'));
    form.showPhoneName(longName);
    EXPECT_LT(success->text().size(), longName.size());
    EXPECT_LE(success->sizeHint().width(), 1000);
}

// A wide picture in the square spinner keeps its proportions, and every spinner turns with the
// one shared angle.
TEST(MainFormTest, SpinnerKeepsItsAspectRatio) {
    QTemporaryDir dir;
    QImage wide(200, 100, QImage::Format_ARGB32);
    wide.fill(Qt::red);
    ASSERT_TRUE(wide.save(dir.filePath("wide.png")));
    RotateLabel label;
    label.setFixedSize(280, 280);
    label.setPicture(dir.filePath("wide.png"));
    label.setPicture(dir.filePath("missing.png"));  // keeps the picture
    label.setInterval(10);
    label.show();
    const double before = RotateLabel::angle();
    label.start();
    ASSERT_TRUE(waitFor([&] { return !label.pixmap(Qt::ReturnByValue).isNull(); }, 3000));
    EXPECT_EQ(QSize(280, 140), label.pixmap(Qt::ReturnByValue).size());
    EXPECT_TRUE(waitFor([&] { return RotateLabel::angle() != before; }, 3000));
    label.stop();
    EXPECT_FALSE(label.isRunning());
}

// The bottom bar: the meter's full height comes from the style sheet, the level sets the filled
// part; the record button, the clock text and the stop on disabling; the screenshot bubble once
// per two seconds; the IP pop-up on hover; the state text.
TEST(MenuStateFormTest, ButtonsMeterClockAndPopups) {
    ui::initSkin();
    QWidget window;
    auto* form = new MenuStateForm(&window);
    window.resize(900, 75);
    form->resize(900, 75);
    window.show();
    ASSERT_TRUE(waitFor([&] { return window.windowHandle()->isExposed(); }, 5000));

    form->enableVolumeMeter(true);
    auto* column = child<QWidget>(form, "widget_all");
    auto* filled = child<QWidget>(form, "widget_cur");
    ASSERT_TRUE(waitFor([&] { return column->isVisible(); }, 2000));
    form->hide();
    form->show();  // the full height is measured when the form is shown
    EXPECT_EQ(column->height(), form->meterFullHeight());
    if (QssManager::scaleFactor() == 1.0) {
        EXPECT_EQ(37, form->meterFullHeight());
    }
    EXPECT_GE(form->meterFullHeight(), 37);
    form->slot_setVolumnValue(0.5);
    EXPECT_EQ(form->meterFullHeight() / 2, filled->height());
    form->enableVolumeMeter(false);
    EXPECT_FALSE(column->isVisible());
    EXPECT_EQ(0, filled->height());

    QSignalSpy starts(form, &MenuStateForm::sig_recoderStart);
    QSignalSpy stops(form, &MenuStateForm::sig_recoderStop);
    QSignalSpy shots(form, &MenuStateForm::sig_screenShot);
    auto* record = child<QPushButton>(form, "pushButton_menu_record");
    auto* cut = child<QPushButton>(form, "pushButton_menu_cutscm");
    auto* time = child<QLabel>(form, "label_menu_time");
    EXPECT_FALSE(record->isEnabled());
    EXPECT_TRUE(record->toolTip().isEmpty());
    form->enableMirrorActions(true);
    EXPECT_EQ(QString::fromUtf8("录屏"), record->toolTip());
    EXPECT_EQ(QString::fromUtf8("截屏"), cut->toolTip());
    record->click();
    EXPECT_EQ(1, starts.count());
    EXPECT_TRUE(time->isVisible());
    form->setRecordTime("00:00:07");
    record->click();
    EXPECT_EQ(1, stops.count());
    EXPECT_FALSE(time->isVisible());
    EXPECT_EQ("00:00:00", time->text());
    // The phone starts one; the phone leaving (actions disabled) ends it.
    form->remoteRecordStart();
    EXPECT_TRUE(record->isChecked());
    EXPECT_EQ(2, starts.count());
    form->setRecordTime("00:01:02");
    form->enableMirrorActions(false);
    EXPECT_EQ(2, stops.count());
    EXPECT_FALSE(record->isChecked());
    EXPECT_EQ("00:00:00", time->text());
    form->enableMirrorActions(false);  // nothing to stop
    EXPECT_EQ(2, stops.count());

    form->enableMirrorActions(true);
    cut->click();
    EXPECT_EQ(1, shots.count());
    form->showScreenshotBubble();
    IPDisplayDialog* bubble = MenuStateForm::screenshotBubble();
    ASSERT_TRUE(bubble);
    EXPECT_TRUE(bubble->isVisible());
    form->showScreenshotBubble();
    EXPECT_EQ(bubble, MenuStateForm::screenshotBubble());
    EXPECT_TRUE(waitFor([] { return !MenuStateForm::screenshotBubble(); }, 5000));

    auto* ip = child<QPushButton>(form, "pushButton_menu_ip");
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(ip, &enter);
    EXPECT_TRUE(form->ipPopup()->isVisible());
    EXPECT_LT(form->ipPopup()->y(), ip->mapToGlobal(QPoint(0, 0)).y());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(ip, &leave);
    EXPECT_FALSE(form->ipPopup()->isVisible());

    auto* state = child<QLabel>(form, "label_menu_state");
    EXPECT_EQ(Qt::PlainText, state->textFormat());
    form->showPhoneName("<img src=x>");
    EXPECT_EQ(QString::fromUtf8("已连接<img src=x>"), state->text());
    const QString longName(300, QChar('W'));
    form->showPhoneName(longName);
    EXPECT_LT(state->text().size(), longName.size());
    EXPECT_TRUE(state->text().startsWith(QString::fromUtf8("已连接W")));
    form->showConnected(QString());
    EXPECT_EQ(QString::fromUtf8("已连接"), state->text());
    form->showPhoneName(QString());
    EXPECT_EQ(QString::fromUtf8("未连接"), state->text());
}

// The first-start tooltip shows while the flag is set and clicking help closes it for good.
TEST(MenuStateFormTest, HelpClosesTheFirstStartTooltipForGood) {
    ui::initSkin();
    KivoCamData::instance()->setFirstOpen(true);
    QWidget window;
    auto* form = new MenuStateForm(&window);
    window.resize(900, 75);
    window.show();
    form->showFirstTooltip();
    ASSERT_TRUE(form->firstTooltip());
    EXPECT_TRUE(form->firstTooltip()->isVisible());
    windowtest::rejectNextModal();
    child<QPushButton>(form, "pushButton_menu_help")->click();
    EXPECT_FALSE(form->firstTooltip());
    EXPECT_FALSE(KivoCamData::instance()->firstOpen());
    form->showFirstTooltip();
    EXPECT_FALSE(form->firstTooltip());
}

// The window: frameless flags, the caption area for dragging (title bar, but not its buttons),
// the maximise button following the state the window system reports, and the tray where there
// is one.
TEST(MainWindowForm, CaptionButtonsAndTray) {
    qRegisterMetaType<I420FramePtr>("I420FramePtr");
    qRegisterMetaType<PcmFramePtr>("PcmFramePtr");
    MainWindow window;
    EXPECT_EQ(0xE801, int(window.windowFlags()));
    EXPECT_EQ(QString::fromUtf8("Kivo虚拟摄像头"), window.windowTitle());
    window.show();
    ASSERT_TRUE(waitFor([&] { return window.windowHandle()->isExposed(); }, 5000));
    auto* title = child<QWidget>(&window, "widget_title");
    auto* close = child<QPushButton>(&window, "pushButton_main_close");
    auto* help = child<QPushButton>(&window, "pushButton_helpinfo");
    auto* max = child<QPushButton>(&window, "pushButton_main_max");
    const QPoint inTitle = title->mapToGlobal(QPoint(5, title->height() / 2));
    EXPECT_TRUE(window.inCaption(inTitle.x(), inTitle.y()));
    const QPoint onClose = close->mapToGlobal(close->rect().center());
    EXPECT_FALSE(window.inCaption(onClose.x(), onClose.y()));
    const QPoint onHelp = help->mapToGlobal(help->rect().center());
    EXPECT_FALSE(window.inCaption(onHelp.x(), onHelp.y()));
    const QPoint below = title->mapToGlobal(QPoint(5, title->height() + 20));
    EXPECT_FALSE(window.inCaption(below.x(), below.y()));

    EXPECT_TRUE(max->isCheckable());
    EXPECT_FALSE(max->isChecked());
    window.setWindowState(Qt::WindowMaximized);  // as a window manager would
    EXPECT_TRUE(waitFor([&] { return max->isChecked(); }, 3000));
    window.setWindowState(Qt::WindowNoState);
    EXPECT_TRUE(waitFor([&] { return !max->isChecked(); }, 3000));

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        ASSERT_TRUE(window.trayIcon());
        EXPECT_EQ(QString::fromUtf8("Kivo虚拟摄像头\n状态：未连接"), window.trayIcon()->toolTip());
    } else {
        EXPECT_FALSE(window.trayIcon());
    }
    // A screenshot with nothing on screen is dropped at once.
    window.slot_screenShot();
    EXPECT_FALSE(window.isScreenshotPending());

    // A recording stopped before its first picture made no file: the user is told, nothing
    // reaches the clipboard, and the delayed capture request of its start never fires.
    windowtest::Boxes boxes;
    QSignalSpy finished(&window, &MainWindow::sig_recordFinished);
    window.slot_Record();
    window.slot_Record();
    ASSERT_EQ(1, finished.count());
    EXPECT_FALSE(finished.at(0).at(0).toBool());
    EXPECT_TRUE(waitFor([&] { return !boxes.shown().empty(); }, 3000));
    EXPECT_EQ(ui::BoxKind::Warning, boxes.shown().front().kind);
    windowtest::settle(100);
    EXPECT_FALSE(window.mainForm()->endCapture());
}
