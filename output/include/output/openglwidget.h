// Shows the phone's picture: uploads the Y, U, V and alpha planes of an I420 frame as
// single-channel textures and converts them to RGB (BT.709, limited range) in the fragment
// shader, with a transparent 720 x 720 overlay composited over the picture. Turns left-button
// and wheel input into picture-relative signals and, while a capture is requested, reads every
// painted picture back into a pooled QImage (RGBA8888, bottom row first).
// Thread rules: setFrame, requestCapture and takeCaptureRequest from any thread; everything else
// (painting, mouse, construction) on the GUI thread. frameMutex_ guards frame_ against painting;
// setFrame only tries it, so a frame offered during a paint is dropped, never waited for.
#pragma once

#include <QImage>
#include <QOpenGLFunctions>
#include <QOpenGLWidget>
#include <QPointF>
#include <QSize>

#include <atomic>
#include <memory>
#include <mutex>

#include "mirror/videoframe.h"

class QOpenGLShaderProgram;

class OpenGLWidget : public QOpenGLWidget, protected QOpenGLFunctions {
    Q_OBJECT

public:
    explicit OpenGLWidget(QWidget* parent = nullptr);
    ~OpenGLWidget() override;

    bool setFrame(I420FramePtr frame);  // never waits; false when dropped or refused
    void requestCapture();              // any thread
    bool takeCaptureRequest();          // any thread; returns the old flag

    // Whether a frame's planes may be uploaded: a buffer, every stride at least its plane's
    // width, and stride x rows over the four planes representable and equal to bufferSize() (the
    // frame records no allocation size of its own). Any thread. setFrame also refuses, once the
    // context is known, planes larger than its biggest texture.
    static bool isUploadable(const I420Frame& frame);
    // GUI thread, while sigCaptureFrame is delivered: the time of the picture it carries
    // (VideoFrame::timeUs), so what was shown late is still recorded at its own time.
    int64_t captureTimeUs() const { return captureTimeUs_; }
    // Frees the capture buffers kept for reuse (any thread), once capturing has ended; buffers
    // still held by an image stay.
    static void releaseCaptureBuffers();

signals:
    void sigMousePress(QPointF pos, QSize videoSize, QSize showSize);
    void sigMouseMove(QPointF pos, QSize videoSize, QSize showSize);
    void sigMouseRelease(QPointF pos, QSize videoSize, QSize showSize);
    void sigMouseWheel(int delta);
    void sigCaptureFrame(QImage image);  // RGBA8888, rows bottom-up (OpenGL order)

protected:
    void initializeGL() override;
    void resizeGL(int width, int height) override;
    void paintGL() override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    enum Plane { kY, kU, kV, kA, kPlanes };

    void noteShown();
    void releaseGL();  // before the context goes away (destruction or a new top-level window)
    void computeQuad();
    void uploadPlanes(const I420Frame& frame, int firstUnit);
    QImage readBack();  // the shown picture, in a pooled buffer; null when the pool is dry
    bool mapMouse(const QPointF& local, QPointF* pos, QSize* videoSize, QSize* showSize);

    std::mutex frameMutex_;  // guards frame_ against painting
    I420FramePtr frame_;
    I420FramePtr overlay_;          // GUI thread only
    I420FramePtr uploadedOverlay_;  // what the overlay textures hold now
    bool overlayClear_ = false;     // no pixel of it shows: the plain program draws
    std::unique_ptr<QOpenGLShaderProgram> plainProgram_;  // the shader without the overlay
    bool fillMode_ = true;
    float scaleX_ = 1.0f;
    float scaleY_ = 1.0f;
    float vertices_[8] = {};
    std::unique_ptr<QOpenGLShaderProgram> program_;
    GLuint textures_[2 * kPlanes] = {};
    GLint internalFormat_ = 0;  // single-channel formats the context has
    GLenum pixelFormat_ = 0;
    bool glReady_ = false;
    bool pressed_ = false;
    int64_t captureTimeUs_ = 0;  // GUI thread only
    int64_t paintedTimeUs_ = 0;  // GUI thread only: the picture drawn last, and shown last
    int64_t shownTimeUs_ = 0;
    std::atomic<uint8_t> captureRequest_{0};
    std::atomic<bool> refusedLogged_{false};
    std::atomic<int> maxTextureSize_{0};  // 0 until the context is known
};
