// bench_renderer: what the renderer costs per picture, in the renderer's own OpenGL context.
//   setFrame + paint  - OpenGLWidget::setFrame, then its paint (four plane uploads, the YUV to
//                       RGB shader (the overlay left out while it is clear), the draw),
//                       finished with glFinish
//   bare upload+draw  - baseline: glTexImage2D of the same Y, U and V planes and one draw with a
//                       trivial shader that only samples them
//   read-back         - what a paint while a capture is requested costs over a plain paint
//                       (read-back into a pooled image and the signal)
//   bare read-back    - baseline: glReadPixels of the same rectangle into a plain buffer
// at 1280 x 720 and 1920 x 1080, the widget as large as the picture; medians of single calls,
// wall time and CPU time of the whole process.
// Run under a virtual X server: scripts/in-sandbox.sh build/bin/bench_renderer [rounds]
#include <QApplication>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QOpenGLShaderProgram>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "output/openglwidget.h"

namespace {

using Clock = std::chrono::steady_clock;

// Gives the benchmark the paint that Qt would otherwise run from its event loop.
class BenchWidget : public OpenGLWidget {
public:
    void paintNow() {
        makeCurrent();
        paintGL();
        context()->functions()->glFinish();
    }
};

// Wall time and the process's CPU time (every thread: Mesa's software rasteriser runs its own)
// of one call, in milliseconds. CPU time barely moves when other programs load the machine.
struct Cost {
    double wall, cpu;
};

template <typename F>
Cost measure(F&& f) {
    const auto t0 = Clock::now();
    const std::clock_t c0 = std::clock();
    f();
    const std::clock_t c1 = std::clock();
    return {std::chrono::duration<double, std::milli>(Clock::now() - t0).count(),
            1000.0 * double(c1 - c0) / CLOCKS_PER_SEC};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

I420FramePtr makePicture(int w, int h, int seed) {
    auto f = std::make_shared<I420Frame>(w, h, w, w / 2, w / 2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) f->dataY()[y * w + x] = uint8_t(16 + (x + y + seed) % 220);
    std::memset(f->dataU(), 90 + seed, static_cast<size_t>(w / 2) * (h / 2));
    std::memset(f->dataV(), 170 - seed, static_cast<size_t>(w / 2) * (h / 2));
    return f;
}

// The baseline: the least a YUV renderer must do, in the widget's context.
class BareDraw {
public:
    explicit BareDraw(QOpenGLFunctions* gl) : gl_(gl) {
        program_.addShaderFromSourceCode(QOpenGLShader::Vertex,
                                         "attribute vec4 v; attribute vec2 t; varying vec2 c;\n"
                                         "void main() { gl_Position = v; c = t; }\n");
        program_.addShaderFromSourceCode(
            QOpenGLShader::Fragment,
            "#ifdef GL_ES\nprecision mediump float;\n#endif\n"
            "varying vec2 c; uniform sampler2D y; uniform sampler2D u; uniform sampler2D v;\n"
            "void main() { gl_FragColor = vec4(texture2D(y, c).r, texture2D(u, c).r,\n"
            "                                  texture2D(v, c).r, 1.0); }\n");
        program_.bindAttributeLocation("v", 0);
        program_.bindAttributeLocation("t", 1);
        ok_ = program_.link();
        gl_->glGenTextures(3, textures_);
    }
    ~BareDraw() { gl_->glDeleteTextures(3, textures_); }
    bool ok() const { return ok_; }

    void draw(const I420Frame& f) {
        static const GLfloat quad[8] = {-1, -1, 1, -1, -1, 1, 1, 1};
        static const GLfloat coords[8] = {0, 1, 1, 1, 0, 0, 1, 0};
        // The renderer leaves depth testing on; a bare draw neither needs nor may fail it.
        gl_->glDisable(GL_DEPTH_TEST);
        gl_->glClear(GL_COLOR_BUFFER_BIT);
        program_.bind();
        gl_->glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        const uint8_t* planes[3] = {f.dataY(), f.dataU(), f.dataV()};
        const int widths[3] = {f.strideY(), f.strideU(), f.strideV()};
        const int heights[3] = {f.height(), f.height() / 2, f.height() / 2};
        const char* names[3] = {"y", "u", "v"};
        for (int p = 0; p < 3; ++p) {
            gl_->glActiveTexture(GL_TEXTURE0 + p);
            gl_->glBindTexture(GL_TEXTURE_2D, textures_[p]);
            gl_->glTexImage2D(GL_TEXTURE_2D, 0, GL_RED, widths[p], heights[p], 0, GL_RED,
                              GL_UNSIGNED_BYTE, planes[p]);
            gl_->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
            gl_->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
            program_.setUniformValue(names[p], p);
        }
        gl_->glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 0, quad);
        gl_->glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 0, coords);
        gl_->glEnableVertexAttribArray(0);
        gl_->glEnableVertexAttribArray(1);
        gl_->glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
        gl_->glFinish();
        gl_->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
        program_.release();
        gl_->glEnable(GL_DEPTH_TEST);
    }

    // Whether the last draw really wrote the picture's planes (bottom-left pixel shows the
    // first sample of the last row).
    bool drew(const I420Frame& f) {
        uint8_t px[4] = {};
        gl_->glReadPixels(0, 0, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, px);
        const int last = f.height() - 1;
        return std::abs(px[0] - f.dataY()[last * f.strideY()]) <= 2 &&
               std::abs(px[1] - f.dataU()[(last / 2) * f.strideU()]) <= 2 &&
               std::abs(px[2] - f.dataV()[(last / 2) * f.strideV()]) <= 2;
    }

private:
    QOpenGLFunctions* gl_;
    QOpenGLShaderProgram program_;
    GLuint textures_[3] = {};
    bool ok_ = false;
};

bool runSize(int w, int h, int rounds) {
    BenchWidget widget;
    widget.resize(w, h);
    widget.show();
    if (!QTest::qWaitForWindowExposed(&widget) || !widget.context() ||
        !widget.context()->isValid()) {
        std::fprintf(stderr, "no OpenGL window at %dx%d\n", w, h);
        return false;
    }
    const I420FramePtr pictures[2] = {makePicture(w, h, 0), makePicture(w, h, 1)};
    widget.makeCurrent();
    QOpenGLFunctions* gl = widget.context()->functions();
    BareDraw bare(gl);
    bare.draw(*pictures[0]);
    if (!bare.ok() || !bare.drew(*pictures[0])) {
        std::fprintf(stderr, "baseline draw failed\n");
        return false;
    }
    int captures = 0;
    QObject::connect(&widget, &OpenGLWidget::sigCaptureFrame, [&](QImage) { ++captures; });
    const QSize device = widget.size() * widget.devicePixelRatioF();
    std::vector<uint8_t> pixels(static_cast<size_t>(device.width()) * device.height() * 4);

    // Interleaved, so a busy machine weighs on every figure alike; medians of single calls.
    // The read-back cost is the median of each capture paint less the plain paint before it.
    std::vector<double> paint[2], baseline[2], readBack[2], extra[2];
    for (int i = -3; i < rounds; ++i) {
        const I420FramePtr& picture = pictures[i & 1];
        const Cost tPaint = measure([&] {
            widget.setFrame(picture);
            widget.paintNow();
        });
        widget.requestCapture();
        const Cost tCapture = measure([&] {
            widget.setFrame(pictures[(i + 1) & 1]);
            widget.paintNow();
        });
        widget.takeCaptureRequest();
        const Cost tBare = measure([&] { bare.draw(*picture); });
        const Cost tRead = measure([&] {
            gl->glReadPixels(0, 0, device.width(), device.height(), GL_RGBA, GL_UNSIGNED_BYTE,
                             pixels.data());
        });
        if (i < 0) continue;  // warm-up
        paint[0].push_back(tPaint.wall);
        paint[1].push_back(tPaint.cpu);
        baseline[0].push_back(tBare.wall);
        baseline[1].push_back(tBare.cpu);
        readBack[0].push_back(tRead.wall);
        readBack[1].push_back(tRead.cpu);
        extra[0].push_back(tCapture.wall - tPaint.wall);
        extra[1].push_back(tCapture.cpu - tPaint.cpu);
    }
    if (captures != rounds + 3) {
        std::fprintf(stderr, "%d captures for %d requested paints\n", captures, rounds + 3);
        return false;
    }
    std::printf(
        "%4dx%-4d  (wall / CPU ms)  setFrame + paint %7.2f / %7.2f   bare upload+draw "
        "%7.2f / %7.2f   ratio %.2f / %.2f\n",
        w, h, median(paint[0]), median(paint[1]), median(baseline[0]), median(baseline[1]),
        median(paint[0]) / median(baseline[0]), median(paint[1]) / median(baseline[1]));
    std::printf(
        "                           read-back per capture %7.2f / %7.2f   bare "
        "glReadPixels %7.2f / %7.2f\n",
        median(extra[0]), median(extra[1]), median(readBack[0]), median(readBack[1]));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr, "bench_renderer needs an X display (run it through in-sandbox.sh)\n");
        return 2;
    }
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
    {
        OpenGLWidget probe;
        probe.resize(16, 16);
        probe.show();
        if (QTest::qWaitForWindowExposed(&probe) && probe.context()) {
            probe.makeCurrent();
            const auto* renderer = probe.context()->functions()->glGetString(GL_RENDERER);
            std::printf("OpenGL renderer: %s, median of %d rounds\n",
                        renderer ? reinterpret_cast<const char*>(renderer) : "?", rounds);
        }
    }
    bool ok = runSize(1280, 720, rounds);
    ok = runSize(1920, 1080, rounds) && ok;
    return ok ? 0 : 1;
}
