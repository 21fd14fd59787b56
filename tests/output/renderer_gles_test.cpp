// The renderer's tests again on an OpenGL ES context (Mesa under Xvfb), where the shaders need
// precision qualifiers and single-channel textures take the formats ES has.
#include <QOpenGLContext>
#include <QSurfaceFormat>

#include <cstdlib>

namespace {

// Before the test main builds the application object, so every context is an ES one.
const bool kGles = [] {
    QSurfaceFormat format;
    format.setRenderableType(QSurfaceFormat::OpenGLES);
    format.setVersion(2, 0);
    QSurfaceFormat::setDefaultFormat(format);
    // Mesa would give ES 3.2; at 2.0 the planes go through luminance textures.
    return ::setenv("MESA_GLES_VERSION_OVERRIDE", "2.0", 1) == 0;
}();

}  // namespace

#define Renderer RendererGles
#include "renderer_test.cpp"

TEST_F(RendererGles, RunsOnOpenGlEs) {
    ASSERT_TRUE(kGles);
    const QSurfaceFormat format = widget_.context()->format();
    EXPECT_TRUE(widget_.context()->isOpenGLES())
        << format.majorVersion() << "." << format.minorVersion();
}
