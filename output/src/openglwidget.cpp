#include "output/openglwidget.h"

#include <QMouseEvent>
#include <QOpenGLContext>
#include <QOpenGLShader>
#include <QOpenGLShaderProgram>
#include <QThread>
#include <QWheelEvent>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>

#include "kivobridge/log.h"
#include "kivobridge/pool.h"
#include "platform/system.h"

#ifndef GL_RED
#define GL_RED 0x1903
#endif
#ifndef GL_R8
#define GL_R8 0x8229
#endif
#ifndef GL_LUMINANCE
#define GL_LUMINANCE 0x1909
#endif

namespace {

constexpr int kOverlaySize = 720;
constexpr GLuint kVertexLocation = 3;
constexpr GLuint kTextureLocation = 4;

// The first row of every plane is shown at the top.
const GLfloat kTextureCoords[8] = {0.0f, 1.0f, 1.0f, 1.0f, 0.0f, 0.0f, 1.0f, 0.0f};

// No version line, so one source serves desktop GL and GLES; GLES needs a float precision.
const char* const kPrelude =
    "#ifdef GL_ES\n"
    "#ifdef GL_FRAGMENT_PRECISION_HIGH\n"
    "precision highp float;\n"
    "#else\n"
    "precision mediump float;\n"
    "#endif\n"
    "#endif\n";

const char* const kVertexSource =
    "attribute vec4 vertexIn;\n"
    "attribute vec2 textureIn;\n"
    "varying vec2 textureOut;\n"
    "void main(void) {\n"
    "    gl_Position = vertexIn;\n"
    "    textureOut = textureIn;\n"
    "}\n";

// BT.709 limited range. Planes are single-channel textures (red or luminance), read as .r.
const char* const kFragmentSource =
    "varying vec2 textureOut;\n"
    "uniform sampler2D tex_y;\n"
    "uniform sampler2D tex_u;\n"
    "uniform sampler2D tex_v;\n"
    "uniform sampler2D tex_a;\n"
    "uniform sampler2D tex_y_2;\n"
    "uniform sampler2D tex_u_2;\n"
    "uniform sampler2D tex_v_2;\n"
    "uniform sampler2D tex_a_2;\n"
    "vec4 layer(sampler2D ty, sampler2D tu, sampler2D tv, sampler2D ta) {\n"
    "    float y = texture2D(ty, textureOut).r - 0.0625;\n"
    "    float u = texture2D(tu, textureOut).r - 0.5;\n"
    "    float v = texture2D(tv, textureOut).r - 0.5;\n"
    "    return vec4(1.1644 * y + 1.7927 * v,\n"
    "                1.1644 * y - 0.2132 * u - 0.5329 * v,\n"
    "                1.1644 * y + 2.1124 * u,\n"
    "                texture2D(ta, textureOut).r);\n"
    "}\n"
    "void main(void) {\n"
    "    vec4 p = layer(tex_y, tex_u, tex_v, tex_a);\n"
    "    vec4 o = vec4(0.0);\n"
    "#ifdef WITH_OVERLAY\n"
    "    o = layer(tex_y_2, tex_u_2, tex_v_2, tex_a_2);\n"
    "#endif\n"
    "    float a = p.a + o.a - p.a * o.a;\n"
    // Nothing opaque in either layer: the "over" division would be 0 / 0.
    "    if (a <= 0.0) {\n"
    "        gl_FragColor = vec4(0.0, 0.0, 0.0, 1.0);\n"
    "        return;\n"
    "    }\n"
    "    vec3 c = (p.rgb * p.a * (1.0 - o.a) + o.rgb * o.a) / a;\n"
    "    gl_FragColor = vec4(c, a);\n"
    "}\n";

const char* const kSamplerNames[8] = {"tex_y",   "tex_u",   "tex_v",   "tex_a",
                                      "tex_y_2", "tex_u_2", "tex_v_2", "tex_a_2"};

// Capture buffers for every renderer of the process; never destroyed, as images may outlive
// any widget.
pp::Abstract_PacketPool* capturePool() {
    static pp::Abstract_PacketPool* const pool = pp::create_pktpool("capturePool", nullptr);
    return pool;
}

void releaseCaptureNode(void* info) {
    auto* node = static_cast<pp::FLMemNode*>(info);
    pp::release_pnode(&node);
}

I420FramePtr makeOverlay() {
    auto overlay = std::make_shared<I420Frame>(kOverlaySize, kOverlaySize, kOverlaySize,
                                               kOverlaySize / 2, kOverlaySize / 2, kOverlaySize);
    std::memset(overlay->data(), 0, overlay->bufferSize());
    return overlay;
}

// The renderer's program, with or without the overlay layer; each sampler is tied to the texture
// unit of the same index once, here. The program is returned even when it did not link.
std::unique_ptr<QOpenGLShaderProgram> buildProgram(bool withOverlay, bool* linked) {
    auto program = std::make_unique<QOpenGLShaderProgram>();
    program->bindAttributeLocation("vertexIn", kVertexLocation);
    program->bindAttributeLocation("textureIn", kTextureLocation);
    const QByteArray fragment =
        QByteArray(kPrelude) + (withOverlay ? "#define WITH_OVERLAY\n" : "") + kFragmentSource;
    *linked = program->addShaderFromSourceCode(QOpenGLShader::Vertex,
                                               QByteArray(kPrelude) + kVertexSource) &&
              program->addShaderFromSourceCode(QOpenGLShader::Fragment, fragment) &&
              program->link();
    if (*linked && program->bind()) {
        const int samplers = int(std::size(kSamplerNames)) / (withOverlay ? 1 : 2);
        for (int unit = 0; unit < samplers; ++unit)
            program->setUniformValue(program->uniformLocation(kSamplerNames[unit]), unit);
        program->release();
    }
    return program;
}

}  // namespace

OpenGLWidget::OpenGLWidget(QWidget* parent) : QOpenGLWidget(parent), overlay_(makeOverlay()) {
    capturePool();
    connect(this, &QOpenGLWidget::frameSwapped, this, &OpenGLWidget::noteShown);
}

// The delay from the phone to the screen, for the latency benchmark (debug level only).
void OpenGLWidget::noteShown() {
    if (paintedTimeUs_ == 0 || paintedTimeUs_ == shownTimeUs_ || !bg::CD) return;
    shownTimeUs_ = paintedTimeUs_;
    LOGD("[stats]picture shown: decoded at %lld us, on screen at %lld us",
         static_cast<long long>(shownTimeUs_), static_cast<long long>(bg::CD->utility()->clock()));
}

OpenGLWidget::~OpenGLWidget() {
    // The base class destroys the context after this body: its end must no longer reach us.
    if (QOpenGLContext* ctx = context()) disconnect(ctx, nullptr, this, nullptr);
    releaseGL();
}

bool OpenGLWidget::isUploadable(const I420Frame& frame) {
    const int64_t w = frame.width();
    const int64_t h = frame.height();
    if (w == 0 || h == 0) return w >= 0 && h >= 0;  // drawn as the clear colour, never uploaded
    if (w < 0 || h < 0 || !frame.data()) return false;
    const int64_t cw = (w + 1) / 2;
    if (frame.strideY() < w || frame.strideU() < cw || frame.strideV() < cw || frame.strideA() < w)
        return false;
    // The planes lie one after the other; their byte count must fit the frame's own size
    // arithmetic, which is done in size_t and int.
    const int64_t ch = (h + 1) / 2;
    const int64_t bytes = h * (static_cast<int64_t>(frame.strideY()) + frame.strideA()) +
                          ch * (static_cast<int64_t>(frame.strideU()) + frame.strideV());
    return bytes <= std::numeric_limits<int32_t>::max() &&
           static_cast<size_t>(bytes) == frame.bufferSize();
}

bool OpenGLWidget::setFrame(I420FramePtr frame) {
    // Textures are stride wide; a larger one than the driver takes would show a stale picture.
    const int maxSize = maxTextureSize_.load();
    const bool tooLarge = frame && maxSize > 0 &&
                          std::max({frame->height(), frame->strideY(), frame->strideU(),
                                    frame->strideV(), frame->strideA()}) > maxSize;
    if (frame && (tooLarge || !isUploadable(*frame))) {
        if (!refusedLogged_.exchange(true))
            LOGW("refused picture %dx%d with strides %d/%d/%d/%d", frame->width(), frame->height(),
                 frame->strideY(), frame->strideU(), frame->strideV(), frame->strideA());
        return false;
    }
    std::unique_lock<std::mutex> lock(frameMutex_, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    frame_ = std::move(frame);
    if (QThread::currentThread() == thread()) {
        if (isVisible()) update();
    } else {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (isVisible()) update();
            },
            Qt::QueuedConnection);
    }
    return true;
}

void OpenGLWidget::requestCapture() {
    captureRequest_.exchange(1);
    if (QThread::currentThread() == thread())
        update();
    else
        QMetaObject::invokeMethod(
            this, [this] { update(); }, Qt::QueuedConnection);
}

bool OpenGLWidget::takeCaptureRequest() {
    return captureRequest_.exchange(0) != 0;
}

void OpenGLWidget::initializeGL() {
    if (glReady_) {
        // A new context without word of the old one's end: its objects went with it.
        program_.reset();
        plainProgram_.reset();
        glReady_ = false;
    }
    initializeOpenGLFunctions();
#if defined(__SANITIZE_ADDRESS__)
    platform::keepModulesLoaded("_dri.so");
#endif
    QOpenGLContext* ctx = context();
    connect(ctx, &QOpenGLContext::aboutToBeDestroyed, this, &OpenGLWidget::releaseGL,
            Qt::UniqueConnection);
    // GL_RED is core from GL 3.0 and GLES 3.0 (where it needs the sized R8); older contexts
    // only know luminance, which the shader reads through .r all the same.
    const QPair<int, int> version = ctx->format().version();
    if (ctx->isOpenGLES()) {
        internalFormat_ = version.first >= 3 ? GL_R8 : GL_LUMINANCE;
        pixelFormat_ = version.first >= 3 ? GL_RED : GL_LUMINANCE;
    } else {
        const bool red = version.first >= 3 || ctx->hasExtension("GL_ARB_texture_rg");
        internalFormat_ = red ? GL_RED : GL_LUMINANCE;
        pixelFormat_ = internalFormat_;
    }

    GLint maxSize = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
    maxTextureSize_ = maxSize;

    glEnable(GL_DEPTH_TEST);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    bool linked = false;
    program_ = buildProgram(true, &linked);
    if (!linked) LOGE("renderer shaders failed: %s", qPrintable(program_->log()));
    program_->bind();
    computeQuad();
    program_->release();
    // A clear overlay changes no pixel, and on a software rasteriser its lookups cost as much as
    // the picture's: while it is clear, a program without it draws.
    plainProgram_ = buildProgram(false, &linked);
    if (!linked) {
        LOGW("renderer: overlay-free shader failed, the full one draws: %s",
             qPrintable(plainProgram_->log()));
        plainProgram_.reset();
    }
    glGenTextures(2 * kPlanes, textures_);
    uploadedOverlay_.reset();
    glReady_ = true;
}

void OpenGLWidget::releaseGL() {
    if (!glReady_) return;
    glReady_ = false;
    makeCurrent();
    glDeleteTextures(2 * kPlanes, textures_);
    std::memset(textures_, 0, sizeof textures_);
    program_.reset();
    plainProgram_.reset();
    doneCurrent();
}

void OpenGLWidget::resizeGL(int width, int height) {
    const qreal dpr = devicePixelRatioF();
    glViewport(0, 0, qRound(width * dpr), qRound(height * dpr));
    computeQuad();
}

void OpenGLWidget::computeQuad() {
    if (fillMode_) scaleX_ = scaleY_ = 1.0f;
    const GLfloat corners[8] = {-1.0f, -1.0f, 1.0f, -1.0f, -1.0f, 1.0f, 1.0f, 1.0f};
    for (int i = 0; i < 8; i += 2) {
        vertices_[i] = corners[i] * scaleX_;
        vertices_[i + 1] = corners[i + 1] * scaleY_;
    }
    if (!program_) return;
    glVertexAttribPointer(kVertexLocation, 2, GL_FLOAT, GL_FALSE, 0, vertices_);
    glEnableVertexAttribArray(kVertexLocation);
    // Client-side arrays are context state; set both so nothing else in the context can skew them.
    glVertexAttribPointer(kTextureLocation, 2, GL_FLOAT, GL_FALSE, 0, kTextureCoords);
    glEnableVertexAttribArray(kTextureLocation);
}

void OpenGLWidget::uploadPlanes(const I420Frame& frame, int firstUnit) {
    const int rows[kPlanes] = {frame.height(), I420Frame::chromaHeight(frame.height()),
                               I420Frame::chromaHeight(frame.height()), frame.height()};
    const int strides[kPlanes] = {frame.strideY(), frame.strideU(), frame.strideV(),
                                  frame.strideA()};
    const uint8_t* planes[kPlanes] = {frame.dataY(), frame.dataU(), frame.dataV(), frame.dataA()};
    for (int p = 0; p < kPlanes; ++p) {
        glActiveTexture(GL_TEXTURE0 + firstUnit + p);
        glBindTexture(GL_TEXTURE_2D, textures_[firstUnit + p]);
        glTexImage2D(GL_TEXTURE_2D, 0, internalFormat_, strides[p], rows[p], 0, pixelFormat_,
                     GL_UNSIGNED_BYTE, planes[p]);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    }
}

void OpenGLWidget::paintGL() {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    if (!glReady_) return;
    QImage capture;
    {
        std::lock_guard<std::mutex> lock(frameMutex_);
        if (!frame_ || frame_->width() == 0 || frame_->height() == 0) return;
        computeQuad();
        if (!overlay_) overlay_ = makeOverlay();
        const bool newOverlay = uploadedOverlay_ != overlay_;
        if (newOverlay) {
            const uint8_t* alpha = overlay_->dataA();
            const size_t alphaBytes = size_t(overlay_->strideA()) * overlay_->height();
            overlayClear_ =
                std::all_of(alpha, alpha + alphaBytes, [](uint8_t a) { return a == 0; });
        }
        QOpenGLShaderProgram* program =
            overlayClear_ && plainProgram_ ? plainProgram_.get() : program_.get();
        program->bind();
        // Rows of any byte length: the default alignment of 4 would read past odd strides.
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        uploadPlanes(*frame_, 0);
        // The overlay only changes when replaced, so it is uploaded once per replacement.
        if (newOverlay) {
            uploadPlanes(*overlay_, kPlanes);
            uploadedOverlay_ = overlay_;
        }
        glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
        glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
        paintedTimeUs_ = frame_->timeUs();
        if (captureRequest_.load() && isVisible()) {
            capture = readBack();
            captureTimeUs_ = frame_->timeUs();
        }
        program->release();
    }
    // Outside the lock, so a receiver may hand the next frame straight back.
    if (!capture.isNull()) emit sigCaptureFrame(capture);
}

void OpenGLWidget::releaseCaptureBuffers() {
    capturePool()->trim();
}

QImage OpenGLWidget::readBack() {
    // Device pixels: on a scaled screen the framebuffer is larger than the widget.
    const qreal dpr = devicePixelRatioF();
    const int fw = qRound(width() * dpr);
    const int fh = qRound(height() * dpr);
    const int w = static_cast<int>(scaleX_ * fw);
    const int h = static_cast<int>(scaleY_ * fh);
    const int x = (fw - w) / 2;
    const int y = (fh - h) / 2;
    if (w <= 0 || h <= 0) return QImage();
    pp::FLMemNode* node = capturePool()->require(static_cast<size_t>(w) * h * 4);
    if (!node) return QImage();  // pool exhausted: the request stays, the next paint retries
    QImage image(node->buffer, w, h, w * 4, QImage::Format_RGBA8888, releaseCaptureNode, node);
    glReadPixels(x, y, w, h, GL_RGBA, GL_UNSIGNED_BYTE, node->buffer);
    return image;
}

bool OpenGLWidget::mapMouse(const QPointF& local, QPointF* pos, QSize* videoSize, QSize* showSize) {
    const double w = width();
    const double h = height();
    if (w <= 0 || h <= 0) return false;
    QSize video;
    {
        std::lock_guard<std::mutex> lock(frameMutex_);
        if (!frame_) return false;
        video = QSize(frame_->width(), frame_->height());
    }
    const double sx = fillMode_ ? 1.0 : scaleX_;
    const double sy = fillMode_ ? 1.0 : scaleY_;
    const QPointF p((local.x() - (1.0 - sx) * w * 0.5) / (w * sx),
                    (local.y() - (1.0 - sy) * h * 0.5) / (h * sy));
    if (p.x() < 0 || p.y() < 0) return false;
    *pos = p;
    *videoSize = video;
    *showSize = fillMode_ ? QSize(width(), height())
                          : QSize(static_cast<int>(sx * w), static_cast<int>(sy * h));
    return true;
}

void OpenGLWidget::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    pressed_ = true;
    QPointF pos;
    QSize video, show;
    if (mapMouse(event->localPos(), &pos, &video, &show)) emit sigMousePress(pos, video, show);
    QOpenGLWidget::mousePressEvent(event);
}

void OpenGLWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    pressed_ = false;
    QPointF pos;
    QSize video, show;
    if (mapMouse(event->localPos(), &pos, &video, &show)) emit sigMouseRelease(pos, video, show);
    QOpenGLWidget::mouseReleaseEvent(event);
}

void OpenGLWidget::mouseMoveEvent(QMouseEvent* event) {
    if (!pressed_) return;
    QPointF pos;
    QSize video, show;
    if (mapMouse(event->localPos(), &pos, &video, &show)) emit sigMouseMove(pos, video, show);
    QOpenGLWidget::mouseMoveEvent(event);
}

void OpenGLWidget::wheelEvent(QWheelEvent* event) {
    const QPoint delta = event->angleDelta();
    emit sigMouseWheel(delta.y() != 0 ? delta.y() : delta.x());
}
