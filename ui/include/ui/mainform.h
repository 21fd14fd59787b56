// The main window's centre: a stack of three pages (waiting with the spinner and this PC's name,
// connected with the phone's name, the live picture) that keeps the picture at its own aspect
// ratio inside the picture frame.
// Thread rules: GUI thread only.
#pragma once

#include <QImage>
#include <QSize>
#include <QWidget>

#include <memory>

#include "mirror/videoframe.h"

namespace Ui {
class MainForm;
}
class OpenGLWidget;
class QssManager;

class MainForm : public QWidget {
    Q_OBJECT

public:
    enum Page { kWaitPage = 0, kLinkPage = 1, kDisplayPage = 2, kOtherPage = 3 };

    explicit MainForm(QWidget* parent = nullptr);
    ~MainForm() override;

    int currentPage() const;
    // 0 starts the spinner; 1 and 2 stop it; other values do nothing.
    void showPage(int page);
    // Plain text: a phone's name never becomes markup.
    void showPhoneName(const QString& name);
    // Fits the picture area to the frame's aspect ratio, then offers the frame to the renderer
    // (which drops it while it paints). False when dropped.
    bool showFrame(const I420FramePtr& frame);
    void requestCapture();
    bool endCapture();

    // Largest size of the given aspect ratio (width / height) inside area, truncated to whole
    // pixels; empty for an empty area or a ratio that is not positive.
    static QSize fitSize(QSize area, double aspect);

    OpenGLWidget* renderer() const;
    // Whether the renderer will paint the next frame it takes (and so capture it): the display
    // page is current and the window is shown and exposed.
    bool rendererPaints() const;
    double aspect() const { return aspect_; }

signals:
    void sigCaptureFrame(QImage image);

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void fitRenderer();

    std::unique_ptr<Ui::MainForm> ui_;
    QssManager* qss_ = nullptr;  // child of this form
    double aspect_ = 0.0;
};
