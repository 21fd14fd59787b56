// The camera component's picture work: fitting another orientation into the device's fixed
// size, the YU12 format it sets, device discovery and its command line.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <vector>

#include <libyuv.h>

#include "camera_pictures.h"
#include "letterbox.h"
#include "options.h"
#include "platform/videooutput.h"
#include "test_env.h"

namespace {

vcam::I420View viewOf(const I420FramePtr& f) {
    vcam::I420View v;
    v.y = f->dataY(), v.u = f->dataU(), v.v = f->dataV();
    v.strideY = f->strideY(), v.strideU = f->strideU(), v.strideV = f->strideV();
    v.width = f->width(), v.height = f->height();
    return v;
}

// Portrait into landscape must fill the full height, centred, with even offsets (an odd one
// would shift chroma against luma), and never stretch or overflow the output.
TEST(VcamLetterbox, FitRectKeepsShapeAndAlignment) {
    const vcam::Rect p = vcam::fitRect(720, 1280, 1280, 720);
    EXPECT_EQ(p.height, 720);
    EXPECT_EQ(p.width, 404);
    EXPECT_EQ(p.y, 0);
    EXPECT_EQ(p.x, 438);
    const vcam::Rect l = vcam::fitRect(1280, 720, 720, 1280);
    EXPECT_EQ(l.width, 720);
    EXPECT_EQ(l.height, 404);
    EXPECT_EQ(l.x, 0);
    EXPECT_EQ(l.y, 438);
    const vcam::Rect same = vcam::fitRect(1280, 720, 1280, 720);
    EXPECT_EQ(same.width, 1280);
    EXPECT_EQ(same.height, 720);
    for (int sw : {2, 98, 640, 1279, 4000})
        for (int sh : {2, 50, 481, 3000}) {
            const vcam::Rect r = vcam::fitRect(sw, sh, 1280, 720);
            EXPECT_EQ(r.x % 2 + r.y % 2 + r.width % 2 + r.height % 2, 0) << sw << "x" << sh;
            EXPECT_LE(r.x + r.width, 1280);
            EXPECT_LE(r.y + r.height, 720);
        }
}

// A portrait picture letterboxed into 1280 x 720: black bars (Y 16, U/V 128) where no picture
// is, the picture recognisable inside (scaled back up it matches the source at >= 30 dB), and
// U and V not swapped.
TEST(VcamLetterbox, PortraitIntoLandscape) {
    const I420FramePtr src = camtest::makePicture(720, 1280, 3);
    std::vector<uint8_t> out(1280 * 720 * 3 / 2, 0xAB);
    vcam::letterbox(viewOf(src), out.data(), 1280, 720);
    const vcam::I420View o = vcam::tightView(out.data(), 1280, 720);

    const vcam::Rect r = vcam::fitRect(720, 1280, 1280, 720);
    EXPECT_EQ(o.y[0], 16);
    EXPECT_EQ(o.y[719 * 1280 + 1279], 16);
    EXPECT_EQ(o.u[0], 128);
    EXPECT_EQ(o.v[359 * 640 + 639], 128);
    EXPECT_EQ(o.y[360 * 1280 + r.x - 1], 16);
    EXPECT_EQ(o.y[360 * 1280 + r.x + r.width], 16);

    std::vector<uint8_t> back(720 * 1280 * 3 / 2);
    const vcam::I420View b = vcam::tightView(back.data(), 720, 1280);
    const size_t cOff = (r.y / 2) * 640 + r.x / 2;
    libyuv::I420Scale(o.y + r.y * 1280 + r.x, 1280, o.u + cOff, 640, o.v + cOff, 640, r.width,
                      r.height, const_cast<uint8_t*>(b.y), 720, const_cast<uint8_t*>(b.u), 360,
                      const_cast<uint8_t*>(b.v), 360, 720, 1280, libyuv::kFilterBilinear);
    EXPECT_GE(camtest::psnr(b.y, 720, src->dataY(), src->strideY(), 720, 1280), 30.0);
    EXPECT_GE(camtest::psnr(b.u, 360, src->dataU(), src->strideU(), 360, 640), 30.0);
    EXPECT_GE(camtest::psnr(b.v, 360, src->dataV(), src->strideV(), 360, 640), 30.0);

    // Same size is an exact copy, padding of the source skipped.
    const I420FramePtr padded = camtest::makePicture(1280, 720, 4, 1344);
    vcam::letterbox(viewOf(padded), out.data(), 1280, 720);
    EXPECT_EQ(camtest::psnr(o.y, 1280, padded->dataY(), 1344, 1280, 720), 99.0);
    EXPECT_EQ(camtest::psnr(o.v, 640, padded->dataV(), 672, 640, 360), 99.0);
}

// The format the device gets: planar YU12 on the output queue, tight rows, one whole picture
// per write. A wrong sizeimage makes consumers read a torn or shifted picture.
TEST(VcamDevice, Yu12OutputFormat) {
    const platform::VideoOutputFormat f = platform::yu12OutputFormat(1280, 720);
    EXPECT_EQ(f.bufferType, "video-output");
    EXPECT_EQ(f.fourcc, "YU12");
    EXPECT_EQ(f.width, 1280);
    EXPECT_EQ(f.height, 720);
    EXPECT_EQ(f.bytesPerLine, 1280u);
    EXPECT_EQ(f.sizeImage, 1382400u);
    EXPECT_TRUE(f.progressive);
    EXPECT_EQ(platform::yu12OutputFormat(720, 1280).sizeImage, 1382400u);
    EXPECT_EQ(platform::yu12OutputFormat(640, 480).sizeImage, 640u * 480 * 3 / 2);
}

// Discovery looks only at videoN entries that answer as a v4l2 loopback output; anything else
// (plain files, other character devices) is passed over rather than written to.
TEST(VcamDevice, DiscoveryIgnoresNonLoopbackNodes) {
    const QString dir = kivotest::scratchDir() + "/fakedev";
    QDir().mkpath(dir);
    for (const char* name : {"video0", "video10", "videox", "media0"}) {
        QFile f(dir + "/" + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not a device");
    }
    EXPECT_EQ(platform::findLoopbackDevice(dir.toStdString()), "");
    EXPECT_FALSE(platform::isLoopbackDevice("/dev/null"));
    EXPECT_FALSE(platform::isLoopbackDevice("/nonexistent/video0"));
    platform::VideoOutputDevice dev;
    EXPECT_NE(dev.open("/dev/null"), 0);
}

// Bad command lines are refused with a reason, never half-obeyed.
TEST(VcamOptions, Parsing) {
    auto p = vcam::parseOptions({"--y4m", "-", "--count", "12", "--seconds", "2.5"});
    EXPECT_TRUE(p.error.empty());
    EXPECT_EQ(p.mode, vcam::Options::Mode::Y4m);
    EXPECT_EQ(p.y4mPath, "-");
    EXPECT_EQ(p.count, 12);
    EXPECT_DOUBLE_EQ(p.seconds, 2.5);
    p = vcam::parseOptions({"--register", "--device", "/dev/video7", "--size", "720x1280"});
    EXPECT_TRUE(p.error.empty());
    EXPECT_EQ(p.device, "/dev/video7");
    EXPECT_EQ(p.width, 720);
    EXPECT_EQ(p.height, 1280);
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{},
                                               {"--y4m"},
                                               {"--register", "--unregister"},
                                               {"--y4m", "f", "--count", "-3"},
                                               {"--y4m", "f", "--count", "1.5"},
                                               {"--y4m", "f", "--seconds", "x"},
                                               {"--register", "--size", "1281x720"},
                                               {"--register", "--size", "1280x720junk"},
                                               {"--register", "--size", "99999x2"},
                                               {"--frobnicate"}})
        EXPECT_FALSE(vcam::parseOptions(bad).error.empty()) << ::testing::PrintToString(bad);
}

}  // namespace
