// The main window in each state a person meets it: waiting, connected, showing a landscape and a
// portrait picture, recording, and with each of the bottom bar's pop-ups open. Pop-ups are
// windows of their own, so those shots are taken from the screen around the main window.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

#include <libyuv.h>

#include <algorithm>
#include <functional>

#include "config/kivocamdata.h"
#include "gallery.h"
#include "ui/mainwindow.h"
#include "ui/menustateform.h"

namespace gallery {
namespace {

// A test card: colour bars, a grey ramp and a circle, so the picture's fit and colours show.
I420FramePtr testPicture(int width, int height) {
    QImage card(width, height, QImage::Format_ARGB32);
    const QColor bars[] = {Qt::white,   Qt::yellow, Qt::cyan, Qt::green,
                           Qt::magenta, Qt::red,    Qt::blue, Qt::black};
    QPainter p(&card);
    for (int i = 0; i < 8; ++i)
        p.fillRect(QRect(i * width / 8, 0, width / 8 + 1, height * 2 / 3), bars[i]);
    QLinearGradient ramp(0, 0, width, 0);
    ramp.setColorAt(0, Qt::black);
    ramp.setColorAt(1, Qt::white);
    p.fillRect(QRect(0, height * 2 / 3, width, height - height * 2 / 3), ramp);
    p.setPen(QPen(QColor(255, 128, 0), std::max(4, width / 100)));
    const int r = std::min(width, height) / 4;
    p.drawEllipse(QPoint(width / 2, height / 3), r, r);
    p.end();
    auto frame = std::make_shared<I420Frame>(width, height, width, width / 2, width / 2);
    libyuv::ARGBToI420(card.constBits(), int(card.bytesPerLine()), frame->dataY(), frame->strideY(),
                       frame->dataU(), frame->strideU(), frame->dataV(), frame->strideV(), width,
                       height);
    return frame;
}

void settle(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

MainWindow* connected(const QString& phone) {
    auto* w = new MainWindow;
    w->OnMirrorInConnected("GALLERY0001", phone);
    return w;
}

MainWindow* showing(int width, int height) {
    MainWindow* w = connected(QStringLiteral("小米 13 Pro"));
    w->OnMirrorVideoFrame(testPicture(width, height));
    return w;
}

// The bottom bar as it looks during a recording, without writing a file.
MainWindow* recording() {
    MainWindow* w = showing(1280, 720);
    MenuStateForm* bar = w->menuForm();
    QObject::disconnect(bar, &MenuStateForm::sig_recoderStart, w, nullptr);
    QObject::disconnect(bar, &MenuStateForm::sig_recoderStop, w, nullptr);
    bar->remoteRecordStart();
    bar->setRecordTime(QStringLiteral("00:01:23"));
    bar->slot_setVolumnValue(0.6);
    return w;
}

// The main window with a pop-up open, as the screen shows them together.
QWidget* withPopup(MainWindow* w, const std::function<void(MainWindow*)>& open) {
    w->move(40, 80);
    w->show();
    QElapsedTimer t;
    t.start();
    while (!(w->windowHandle() && w->windowHandle()->isExposed()) && t.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    w->OnMirrorVideoFrame(testPicture(1280, 720));
    settle(200);
    open(w);
    settle(300);
    const QRect area = w->frameGeometry().adjusted(-20, -60, 20, 20);
    const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(
        0, area.x(), area.y(), area.width(), area.height());
    delete w;
    auto* label = new QLabel;
    label->setPixmap(screen);
    label->setFixedSize(screen.size());
    return label;
}

}  // namespace

void addMainWindowShots() {
    // The first-start tooltip has a shot of its own.
    addShot("mainwindow-waiting", [] {
        KivoCamData::instance()->setFirstOpen(false);
        return new MainWindow;
    });
    addShot("mainwindow-connected", [] { return connected(QStringLiteral("小米 13 Pro")); });
    addShot("mainwindow-connected-no-name", [] { return connected(QString()); });
    addShot("mainwindow-connected-long-name", [] {
        return connected(
            QStringLiteral("一个名字非常非常长的手机 Galaxy S23 Ultra 5G 旗舰版 <b>x</b>"));
    });
    addShot("mainwindow-picture-landscape", [] { return showing(1280, 720); });
    addShot("mainwindow-picture-portrait", [] { return showing(720, 1280); });
    addShot("mainwindow-recording", [] { return recording(); });
    addShot("mainwindow-popup-ip", [] {
        KivoCamData::instance()->setIpAddress(QStringLiteral("192.168.1.23"));
        return withPopup(showing(1280, 720), [](MainWindow* w) {
            QEvent enter(QEvent::Enter);
            QCoreApplication::sendEvent(
                w->menuForm()->findChild<QPushButton*>("pushButton_menu_ip"), &enter);
        });
    });
    addShot("mainwindow-popup-screenshot", [] {
        return withPopup(showing(1280, 720),
                         [](MainWindow* w) { w->menuForm()->showScreenshotBubble(); });
    });
    addShot("mainwindow-popup-first-start", [] {
        KivoCamData::instance()->setFirstOpen(true);
        return withPopup(new MainWindow, [](MainWindow* w) { w->menuForm()->showFirstTooltip(); });
    });
}

}  // namespace gallery
