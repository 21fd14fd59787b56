// The renderer on a screen scaled by 2 (Xvfb + Mesa): a capture covers the whole picture.
#include <gtest/gtest.h>

#include <QOpenGLContext>
#include <QTest>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "output/openglwidget.h"

namespace {

// Before the test main builds the application object, which reads it.
const bool kScaled = [] { return ::setenv("QT_SCALE_FACTOR", "2", 1) == 0; }();

// Mend: the read-back is in device pixels, so on a scaled screen the capture is the whole
// picture (the same as the screen shows), not its bottom-left part.
TEST(RendererScaled, CaptureCoversTheWholePicture) {
    ASSERT_TRUE(kScaled);
    OpenGLWidget widget;
    widget.resize(40, 30);
    widget.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));
    ASSERT_TRUE(widget.context() && widget.context()->isValid()) << "no OpenGL context";
    ASSERT_DOUBLE_EQ(2.0, widget.devicePixelRatioF());
    std::vector<QImage> captures;
    QObject::connect(&widget, &OpenGLWidget::sigCaptureFrame,
                     [&](QImage image) { captures.push_back(image); });

    // White on top, with a black bottom-right quarter.
    auto frame = std::make_shared<I420Frame>(40, 30, 40, 20, 20);
    std::memset(frame->dataU(), 128, 20 * 15 * 2);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) frame->dataY()[y * 40 + x] = x >= 20 && y >= 15 ? 16 : 235;
    ASSERT_TRUE(widget.setFrame(frame));
    widget.requestCapture();
    const QImage shown = widget.grabFramebuffer();
    ASSERT_EQ(1u, captures.size());
    widget.takeCaptureRequest();

    ASSERT_EQ(QSize(80, 60), shown.size());
    const QImage upright = captures[0].mirrored();
    ASSERT_EQ(shown.size(), upright.size());
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 80; ++x)
            ASSERT_EQ(
                qRgb(qRed(shown.pixel(x, y)), qGreen(shown.pixel(x, y)), qBlue(shown.pixel(x, y))),
                qRgb(qRed(upright.pixel(x, y)), qGreen(upright.pixel(x, y)),
                     qBlue(upright.pixel(x, y))))
                << x << "," << y;
    // The far corners are in the capture: white top right, black bottom right.
    EXPECT_GE(qGreen(upright.pixel(79, 0)), 252);
    EXPECT_LE(qGreen(upright.pixel(79, 59)), 3);
}

}  // namespace
