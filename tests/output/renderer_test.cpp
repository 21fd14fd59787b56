// The renderer on a real X server and Mesa's OpenGL: pixels are read back with grabFramebuffer.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QTest>
#include <QWheelEvent>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "output/openglwidget.h"

namespace {

struct Yuv {
    uint8_t y, u, v;
};
constexpr Yuv kWhite{235, 128, 128};
constexpr Yuv kRed{63, 102, 240};
constexpr Yuv kBlack{16, 128, 128};

// Independent of the shader: BT.709 limited range to 8-bit RGB.
QRgb toRgb(Yuv c) {
    const double y = 1.164383 * (c.y - 16);
    const double u = c.u - 128.0, v = c.v - 128.0;
    auto clamp = [](double x) { return int(std::lround(std::min(255.0, std::max(0.0, x)))); };
    return qRgb(clamp(y + 1.792741 * v), clamp(y - 0.213249 * u - 0.532909 * v),
                clamp(y + 2.112402 * u));
}

// A w x h picture with the given strides; colour(x, y) decides each luma sample and, at the
// top-left luma of each 2 x 2 block, the chroma sample.
I420FramePtr makeFrame(int w, int h, const std::function<Yuv(int, int)>& colour,
                       uint8_t alpha = 255, int strideY = 0, int strideC = 0, int strideA = 0) {
    strideY = strideY ? strideY : w;
    strideC = strideC ? strideC : (w + 1) / 2;
    strideA = strideA ? strideA : w;
    auto f = std::make_shared<I420Frame>(w, h, strideY, strideC, strideC, strideA);
    std::memset(f->data(), 0x55, f->bufferSize());  // padding that must never show
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const Yuv c = colour(x, y);
            f->dataY()[y * strideY + x] = c.y;
            f->dataA()[y * strideA + x] = alpha;
            if (x % 2 == 0 && y % 2 == 0) {
                f->dataU()[(y / 2) * strideC + x / 2] = c.u;
                f->dataV()[(y / 2) * strideC + x / 2] = c.v;
            }
        }
    }
    return f;
}

I420FramePtr solid(int w, int h, Yuv c, uint8_t alpha = 255) {
    return makeFrame(
        w, h, [c](int, int) { return c; }, alpha);
}

::testing::AssertionResult near(QRgb got, QRgb want, int tol = 3) {
    if (std::abs(qRed(got) - qRed(want)) <= tol && std::abs(qGreen(got) - qGreen(want)) <= tol &&
        std::abs(qBlue(got) - qBlue(want)) <= tol)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "got (" << qRed(got) << "," << qGreen(got) << "," << qBlue(got) << ") want ("
           << qRed(want) << "," << qGreen(want) << "," << qBlue(want) << ")";
}

// Every pixel of the image is within tol of want.
::testing::AssertionResult allNear(const QImage& image, QRgb want, int tol = 3) {
    if (image.isNull()) return ::testing::AssertionFailure() << "no image";
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (auto r = near(image.pixel(x, y), want, tol); !r)
                return r << " at " << x << "," << y;
    return ::testing::AssertionSuccess();
}

class Renderer : public ::testing::Test {
protected:
    void SetUp() override {
        widget_.resize(kW, kH);
        widget_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget_));
        ASSERT_TRUE(widget_.context() && widget_.context()->isValid()) << "no OpenGL context";
        QObject::connect(&widget_, &OpenGLWidget::sigCaptureFrame,
                         [this](QImage image) { captures_.push_back(image); });
    }
    QImage grab() { return widget_.grabFramebuffer(); }

    static constexpr int kW = 64, kH = 48;
    OpenGLWidget widget_;
    std::vector<QImage> captures_;
};

// Wrong coefficients, swapped planes, a flipped picture or a compositing step that changes the
// picture's colour all show here: white and red land on their BT.709 values, the first row is
// at the top, and a half-transparent picture over the transparent overlay keeps its colour.
TEST_F(Renderer, ShowsBt709ColoursRightWayUpThroughTheOverlay) {
    auto quadrants = [](int x, int y) {
        if (y < kH / 2) return x < kW / 2 ? kWhite : kRed;
        return x < kW / 2 ? kBlack : Yuv{180, 60, 170};
    };
    for (uint8_t alpha : {uint8_t(255), uint8_t(128)}) {
        SCOPED_TRACE(alpha);
        ASSERT_TRUE(widget_.setFrame(makeFrame(kW, kH, quadrants, alpha)));
        const QImage shown = grab();
        ASSERT_EQ(QSize(kW, kH), shown.size());
        EXPECT_TRUE(near(shown.pixel(4, 4), qRgb(255, 255, 255)));
        EXPECT_TRUE(near(shown.pixel(kW - 5, 4), qRgb(255, 0, 0)));
        EXPECT_TRUE(near(shown.pixel(4, kH - 5), qRgb(0, 0, 0)));
        EXPECT_TRUE(near(shown.pixel(kW - 5, kH - 5), toRgb({180, 60, 170})));
    }
}

// Mend: an empty picture, or one with nothing opaque over the transparent overlay (0 / 0 in the
// compositing), shows opaque black instead of whatever the division leaves.
TEST_F(Renderer, EmptyAndFullyTransparentPicturesDrawBlack) {
    ASSERT_TRUE(widget_.setFrame(solid(kW, kH, kWhite)));
    ASSERT_TRUE(allNear(grab(), qRgb(255, 255, 255)));
    ASSERT_TRUE(widget_.setFrame(std::make_shared<I420Frame>(0, 0, 0, 0, 0, 0)));
    EXPECT_TRUE(allNear(grab(), qRgb(0, 0, 0), 0));
    ASSERT_TRUE(widget_.setFrame(std::make_shared<I420Frame>(kW, 0, kW, kW / 2, kW / 2, kW)));
    EXPECT_TRUE(allNear(grab(), qRgb(0, 0, 0), 0));
    ASSERT_TRUE(widget_.setFrame(solid(kW, kH, kWhite, 0)));
    widget_.requestCapture();
    EXPECT_TRUE(allNear(grab(), qRgb(0, 0, 0), 0));
    ASSERT_EQ(1u, captures_.size());
    EXPECT_EQ(qRgba(0, 0, 0, 255), captures_[0].pixel(kW / 2, kH / 2)) << "opaque, as the clear";
    widget_.takeCaptureRequest();
}

// Every paint while a capture is requested emits one image, mirrored against the screen (rows
// bottom-up), in a pooled buffer; taking the request stops them, also for paints already asked.
TEST_F(Renderer, CapturesEveryPaintUntilTakenBottomRowFirst) {
    ASSERT_TRUE(widget_.setFrame(makeFrame(kW, kH, [](int x, int y) {
        return Yuv{uint8_t(16 + 3 * x), uint8_t(128 + y), uint8_t(100 + x / 2)};
    })));
    EXPECT_FALSE(widget_.takeCaptureRequest());
    grab();
    EXPECT_TRUE(captures_.empty());

    widget_.requestCapture();
    QImage shown;
    for (int i = 0; i < 3; ++i) shown = grab();
    ASSERT_EQ(3u, captures_.size());
    EXPECT_TRUE(widget_.takeCaptureRequest());
    EXPECT_FALSE(widget_.takeCaptureRequest());
    grab();
    QCoreApplication::processEvents();  // the repaint requestCapture scheduled
    EXPECT_EQ(3u, captures_.size());

    const QImage capture = captures_.back();
    ASSERT_EQ(QImage::Format_RGBA8888, capture.format());
    ASSERT_EQ(shown.size(), capture.size());
    const QImage upright = capture.mirrored();
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            ASSERT_TRUE(near(upright.pixel(x, y), shown.pixel(x, y), 0)) << x << "," << y;
    EXPECT_EQ(255, qAlpha(capture.pixel(0, 0)));
}

// setFrame from another thread must repaint through the GUI thread, never touch the widget there.
TEST_F(Renderer, FrameFromAnotherThreadIsPainted) {
    ASSERT_TRUE(widget_.setFrame(solid(kW, kH, kBlack)));
    grab();
    widget_.requestCapture();
    bool accepted = false;
    std::thread sender([&] { accepted = widget_.setFrame(solid(kW, kH, kRed)); });
    sender.join();
    EXPECT_TRUE(accepted);
    EXPECT_TRUE(QTest::qWaitFor([&] {
        return !captures_.empty() && near(captures_.back().pixel(kW / 2, kH / 2), qRgb(255, 0, 0));
    }));
    widget_.takeCaptureRequest();
}

// Mend: planes whose strides are below their widths, negative, wider than the driver's largest
// texture, or whose byte count cannot be represented are refused and the shown picture stays; rows
// of odd length are read with byte alignment, so they do not shear (the default alignment of 4
// would skew every row).
TEST_F(Renderer, RefusesPlanesThatDoNotFitAndReadsOddRowsExactly) {
    ASSERT_TRUE(widget_.setFrame(solid(kW, kH, kRed)));
    ASSERT_TRUE(allNear(grab(), qRgb(255, 0, 0)));

    std::vector<uint8_t> buffer(1 << 16, 16);
    auto wrap = [&](int w, int h, int sy, int su, int sv, int sa, uint8_t* data) {
        return std::make_shared<I420Frame>(data, sy, su, sv, sa, w, h, nullptr);
    };
    uint8_t* b = buffer.data();
    EXPECT_FALSE(widget_.setFrame(wrap(32, 16, 31, 16, 16, 32, b)));        // luma stride < width
    EXPECT_FALSE(widget_.setFrame(wrap(33, 16, 33, 16, 17, 33, b)));        // chroma of 17 in 16
    EXPECT_FALSE(widget_.setFrame(wrap(33, 16, 33, 17, 16, 33, b)));        // V likewise
    EXPECT_FALSE(widget_.setFrame(wrap(32, 16, 32, 16, 16, 31, b)));        // alpha stride < width
    EXPECT_FALSE(widget_.setFrame(wrap(32, 16, -32, 16, 16, 32, b)));       // negative stride
    EXPECT_FALSE(widget_.setFrame(wrap(-32, 16, 32, 16, 16, 32, b)));       // negative width
    EXPECT_FALSE(widget_.setFrame(wrap(32, 16, 32, 16, 16, 32, nullptr)));  // no buffer
    EXPECT_FALSE(widget_.setFrame(wrap(32, 1 << 16, INT_MAX / 2, 16, 16, 32, b)));  // overflow
    GLint maxSize = 0;
    widget_.makeCurrent();
    widget_.context()->functions()->glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
    ASSERT_GT(maxSize, 0);
    std::vector<uint8_t> wide(size_t(maxSize + 2) * 6, 16);
    EXPECT_FALSE(widget_.setFrame(wrap(maxSize + 2, 2, maxSize + 2, maxSize / 2 + 1,
                                       maxSize / 2 + 1, maxSize + 2, wide.data())));
    EXPECT_TRUE(allNear(grab(), qRgb(255, 0, 0)));

    // 33 x 21 in three vertical bands (red, white, black), tight odd strides, shown 1:1.
    constexpr int w = 33, h = 21;
    widget_.resize(w, h);
    ASSERT_TRUE(QTest::qWaitFor([&] { return widget_.size() == QSize(w, h); }));
    auto bands = [](int x, int) { return x < 11 ? kRed : x < 22 ? kWhite : kBlack; };
    ASSERT_TRUE(widget_.setFrame(makeFrame(w, h, bands)));
    const QImage shown = grab();
    ASSERT_EQ(QSize(w, h), shown.size());
    for (int y = 0; y < h; ++y) {
        for (int x : {0, 4, 8}) EXPECT_TRUE(near(shown.pixel(x, y), qRgb(255, 0, 0))) << x << y;
        for (int x : {13, 16, 19}) EXPECT_TRUE(near(shown.pixel(x, y), qRgb(255, 255, 255))) << y;
        for (int x : {24, 28, 32}) EXPECT_TRUE(near(shown.pixel(x, y), qRgb(0, 0, 0))) << x << y;
    }
}

// Picture-relative mouse positions: left button only, moves only while pressed, nothing without
// a picture; the wheel passes its delta.
TEST_F(Renderer, MapsLeftButtonToPictureCoordinates) {
    struct Hit {
        char kind;
        QPointF pos;
        QSize video, show;
    };
    std::vector<Hit> hits;
    auto record = [&hits](char kind) {
        return [&hits, kind](QPointF p, QSize v, QSize s) { hits.push_back({kind, p, v, s}); };
    };
    QObject::connect(&widget_, &OpenGLWidget::sigMousePress, record('p'));
    QObject::connect(&widget_, &OpenGLWidget::sigMouseMove, record('m'));
    QObject::connect(&widget_, &OpenGLWidget::sigMouseRelease, record('r'));
    std::vector<int> wheels;
    QObject::connect(&widget_, &OpenGLWidget::sigMouseWheel, [&](int d) { wheels.push_back(d); });

    // Returns whether the event was still accepted after delivery.
    auto send = [this](QEvent::Type type, QPointF pos, Qt::MouseButton button) {
        // Moves carry the held buttons (as when dragging); without any, Qt drops them.
        const bool move = type == QEvent::MouseMove;
        const Qt::MouseButtons held(type == QEvent::MouseButtonRelease ? Qt::NoButton : button);
        QMouseEvent event(type, pos, move ? Qt::NoButton : button, held, {});
        event.setAccepted(true);
        QApplication::sendEvent(&widget_, &event);
        return event.isAccepted();
    };
    send(QEvent::MouseButtonPress, {0, 0}, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, {0, 0}, Qt::LeftButton);
    EXPECT_TRUE(hits.empty()) << "no picture yet";

    ASSERT_TRUE(widget_.setFrame(solid(320, 240, kWhite)));
    send(QEvent::MouseMove, {10, 10}, Qt::LeftButton);
    // A right press is swallowed; a left one goes on to the base class, which ignores it.
    EXPECT_TRUE(send(QEvent::MouseButtonPress, {10, 10}, Qt::RightButton));
    EXPECT_TRUE(send(QEvent::MouseButtonRelease, {10, 10}, Qt::RightButton));
    EXPECT_TRUE(hits.empty()) << "right button or a move without a press";

    EXPECT_FALSE(send(QEvent::MouseButtonPress, {0, 0}, Qt::LeftButton));
    send(QEvent::MouseMove, {32, 12}, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, {48, 36}, Qt::LeftButton);
    send(QEvent::MouseMove, {5, 5}, Qt::LeftButton);
    ASSERT_EQ(3u, hits.size());
    const char kinds[] = {'p', 'm', 'r'};
    const QPointF positions[] = {{0, 0}, {0.5, 0.25}, {0.75, 0.75}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(kinds[i], hits[i].kind);
        EXPECT_DOUBLE_EQ(positions[i].x(), hits[i].pos.x()) << i;
        EXPECT_DOUBLE_EQ(positions[i].y(), hits[i].pos.y()) << i;
        EXPECT_EQ(QSize(320, 240), hits[i].video);
        EXPECT_EQ(QSize(kW, kH), hits[i].show);
    }

    QWheelEvent wheel(QPointF(5, 5), widget_.mapToGlobal(QPoint(5, 5)), QPoint(), QPoint(0, -120),
                      Qt::NoButton, {}, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&widget_, &wheel);
    EXPECT_EQ(std::vector<int>{-120}, wheels);
}

}  // namespace
