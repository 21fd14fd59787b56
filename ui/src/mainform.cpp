#include "ui/mainform.h"

#include <QEvent>
#include <QFontMetrics>
#include <QLayout>
#include <QWindow>

#include "config/kivocamdata.h"
#include "output/openglwidget.h"
#include "ui/qssmanager.h"
#include "ui/rotatelabel.h"
#include "ui_mainform.h"

namespace {

// Room for a phone's name on the connected page, before DPI scaling.
constexpr int kNameWidth = 600;

}  // namespace

MainForm::MainForm(QWidget* parent) : QWidget(parent), ui_(std::make_unique<Ui::MainForm>()) {
    ui_->setupUi(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    qss_ = new QssManager(this);
    qss_->loadStyleSheet(":/qss/parts/mainform.qss");
    ui_->label_device_name->setText(KivoCamData::instance()->deviceName());
    ui_->label_imgwait->setPicture(":/image/display_waitting.png");
    ui_->label_imgwait->setInterval(100);
    ui_->label_imgwait->start();
    ui_->frame_display->installEventFilter(this);
    showPage(kWaitPage);
    connect(ui_->openGLWidget, &OpenGLWidget::sigCaptureFrame, this, &MainForm::sigCaptureFrame);
}

MainForm::~MainForm() = default;

int MainForm::currentPage() const {
    const int page = ui_->stackedWidget->currentIndex();
    return page >= kWaitPage && page <= kDisplayPage ? page : kOtherPage;
}

void MainForm::showPage(int page) {
    switch (page) {
        case kWaitPage:
            ui_->label_imgwait->start();
            ui_->stackedWidget->setCurrentWidget(ui_->page_waitlink);
            break;
        case kLinkPage:
            ui_->label_imgwait->stop();
            ui_->stackedWidget->setCurrentWidget(ui_->page_linksuccess);
            break;
        case kDisplayPage:
            ui_->label_imgwait->stop();
            ui_->stackedWidget->setCurrentWidget(ui_->page_display);
            fitRenderer();
            break;
        default:
            break;
    }
}

void MainForm::showPhoneName(const QString& name) {
    // A long name must not widen the page beyond the window.
    const QFontMetrics metrics(ui_->label_success->font());
    const int room = int(kNameWidth * QssManager::scaleFactor());
    ui_->label_success->setText(
        tr("连接成功\n%1").arg(metrics.elidedText(name.simplified(), Qt::ElideRight, room)));
}

bool MainForm::showFrame(const I420FramePtr& frame) {
    if (!frame) return false;
    if (frame->width() > 0 && frame->height() > 0) {
        const double aspect = double(frame->width()) / double(frame->height());
        if (aspect != aspect_) {
            aspect_ = aspect;
            fitRenderer();
        }
    }
    return ui_->openGLWidget->setFrame(frame);
}

void MainForm::requestCapture() {
    ui_->openGLWidget->requestCapture();
}

bool MainForm::endCapture() {
    return ui_->openGLWidget->takeCaptureRequest();
}

QSize MainForm::fitSize(QSize area, double aspect) {
    if (area.width() <= 0 || area.height() <= 0 || !(aspect > 0.0)) return QSize();
    const double w = area.width();
    const double h = area.height();
    if (w / h > aspect) return QSize(int(aspect * h), area.height());
    return QSize(area.width(), int(w / aspect));
}

OpenGLWidget* MainForm::renderer() const {
    return ui_->openGLWidget;
}

bool MainForm::rendererPaints() const {
    if (currentPage() != kDisplayPage || !ui_->openGLWidget->isVisible()) return false;
    const QWidget* top = window();
    if (top->isMinimized()) return false;
    const QWindow* handle = top->windowHandle();
    return handle && handle->isExposed();
}

void MainForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitRenderer();
}

bool MainForm::eventFilter(QObject* watched, QEvent* event) {
    // The frame gets its size from the layouts after the form does: fit again once it has it.
    if (watched == ui_->frame_display && event->type() == QEvent::Resize) fitRenderer();
    return QWidget::eventFilter(watched, event);
}

void MainForm::fitRenderer() {
    QRect area = ui_->frame_display->contentsRect();
    if (QLayout* layout = ui_->frame_display->layout())
        area = area.marginsRemoved(layout->contentsMargins());
    const QSize fit = fitSize(area.size(), aspect_);
    // A maximum, not a fixed size: the picture must never keep the window from shrinking.
    if (!fit.isEmpty()) ui_->openGLWidget->setMaximumSize(fit);
}
