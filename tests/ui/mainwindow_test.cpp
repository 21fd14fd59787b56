#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QSignalSpy>

#include <cmath>
#include <cstring>
#include <vector>

#include "fakepc.h"
#include "h264_source.h"
#include "mirror/kivospmirrorserver.h"
#include "mirror/socketserver.h"
#include "test_env.h"
#include "ui/mainwindow.h"
#include "hub/mediafunctions.h"
#include "windowtest.h"

namespace {

std::vector<uint8_t> constantBlock(int samples, int16_t value) {
    std::vector<uint8_t> block(static_cast<size_t>(samples) * 2);
    for (int i = 0; i < samples; ++i) std::memcpy(&block[2 * i], &value, 2);
    return block;
}

// Reads raw I420 pictures of one size, one after the other.
std::vector<h264test::Picture> readPictures(const QString& path, int width, int height) {
    QFile file(path);
    std::vector<h264test::Picture> pictures;
    if (!file.open(QIODevice::ReadOnly)) return pictures;
    const qint64 ySize = qint64(width) * height;
    const qint64 cSize = qint64(width / 2) * (height / 2);
    while (true) {
        const QByteArray bytes = file.read(ySize + 2 * cSize);
        if (bytes.size() != ySize + 2 * cSize) break;
        h264test::Picture p;
        p.width = width;
        p.height = height;
        const auto* d = reinterpret_cast<const uint8_t*>(bytes.constData());
        p.y.assign(d, d + ySize);
        p.u.assign(d + ySize, d + ySize + cSize);
        p.v.assign(d + ySize + cSize, d + ySize + 2 * cSize);
        pictures.push_back(std::move(p));
    }
    return pictures;
}

}  // namespace

// The level meter's arithmetic: silence and blocks too short to measure show nothing (the short
// block would otherwise divide by zero), and a full-scale block lands where the formula puts it.
TEST(AudioLevel, SilenceShortBlocksAndFullScale) {
    const std::vector<uint8_t> silence = constantBlock(1024, 0);
    EXPECT_EQ(0.0, media::audioLevel(silence.data(), int(silence.size())));
    const uint8_t tiny[3] = {0xff, 0x7f, 0x00};
    EXPECT_EQ(0.0, media::audioLevel(tiny, 3));
    EXPECT_EQ(0.0, media::audioLevel(nullptr, 0));

    const std::vector<uint8_t> loud = constantBlock(1024, 32767);
    const double mean = double(int64_t(32767) * 32767 / 2);
    const double expected = (10 * std::log10(mean) - 30) / (20 * std::log10(65535.0) - 30);
    EXPECT_NEAR(expected, media::audioLevel(loud.data(), int(loud.size())), 1e-9);
    EXPECT_NEAR(0.864, expected, 0.001);

    // Only the first half of the samples is measured.
    std::vector<uint8_t> halfLoud = constantBlock(1024, 0);
    std::memcpy(halfLoud.data(), loud.data(), 1024);
    EXPECT_NEAR(expected, media::audioLevel(halfLoud.data(), int(halfLoud.size())), 1e-9);
}

// The display copy drops the columns beyond a multiple of 8 instead of scaling, so a 1284-wide
// phone picture reaches the camera as 1280 x 720, and keeps odd heights as they are.
TEST(DisplayFrame, WidthRoundedDownWithoutScaling) {
    I420Frame source(1284, 720, 1284, 642, 642);
    for (int row = 0; row < 720; ++row)
        for (int col = 0; col < 1284; ++col)
            source.dataY()[row * 1284 + col] = uint8_t((row * 7 + col * 3) & 0xff);
    for (int i = 0; i < 642 * 360; ++i) {
        source.dataU()[i] = uint8_t(i & 0xff);
        source.dataV()[i] = uint8_t((i * 5) & 0xff);
    }
    I420FramePtr display = media::makeDisplayFrame(source);
    ASSERT_TRUE(display);
    EXPECT_EQ(1280, display->width());
    EXPECT_EQ(720, display->height());
    EXPECT_EQ(1280, display->strideY());
    EXPECT_EQ(640, display->strideU());
    for (int row = 0; row < 720; row += 37)
        for (int col = 0; col < 1280; col += 13)
            ASSERT_EQ(source.dataY()[row * 1284 + col], display->dataY()[row * 1280 + col]);
    EXPECT_EQ(source.dataU()[642 * 100 + 639], display->dataU()[640 * 100 + 639]);
    EXPECT_EQ(source.dataV()[642 * 359 + 5], display->dataV()[640 * 359 + 5]);

    I420Frame tall(1280, 722, 1280, 640, 640);
    I420FramePtr tallDisplay = media::makeDisplayFrame(tall);
    ASSERT_TRUE(tallDisplay);
    EXPECT_EQ(1280, tallDisplay->width());
    EXPECT_EQ(722, tallDisplay->height());

    I420Frame narrow(6, 4, 6, 3, 3);
    EXPECT_FALSE(media::makeDisplayFrame(narrow));
}

// The whole road of a picture: phone simulator, command and media sockets, decoder, the two
// queued hops and the display copy. At the phone's pace every picture arrives, in order, matching
// its source (faster, the newest picture would rightly win).
TEST(MainWindow, PhonePicturesReachTheWindowIntact) {
    // The program registers these at start-up, before any window exists.
    qRegisterMetaType<I420FramePtr>("I420FramePtr");
    qRegisterMetaType<PcmFramePtr>("PcmFramePtr");
    MainWindow window;
    SocketServer* server = window.mirrorServer();
    ASSERT_TRUE(server && server->mirrorServer());
    const quint16 port = server->mirrorServer()->commandPort();
    ASSERT_NE(0, port);
    QSignalSpy connected(server, &SocketServer::sig_MirrorInConnected);
    QSignalSpy disconnected(server, &SocketServer::sig_MirrorOutConnected);
    // The level is emitted on the network thread: count it where it is delivered, on this one.
    int levels = 0;
    QObject::connect(&window, &MainWindow::sig_volumeInfo, &window, [&levels] { ++levels; });
    std::vector<I420FramePtr> frames;
    QObject::connect(&window, &MainWindow::sig_displayFrame,
                     [&frames](I420FramePtr frame) { frames.push_back(frame); });

    const QString dump = kivotest::scratchDir() + "/sent.yuv";
    const phonesimtest::SimResult sim =
        phonesimtest::runSim({"--port", QString::number(port), "--size", "320x240", "--fps", "30",
                              "--duration", "1", "--dump-yuv", dump});
    ASSERT_EQ(0, sim.exitCode) << sim.err.toStdString();

    const std::vector<h264test::Picture> sources = readPictures(dump, 320, 240);
    ASSERT_EQ(30u, sources.size());
    windowtest::waitFor(
        [&] { return frames.size() >= sources.size() && !disconnected.isEmpty() && levels > 0; },
        10000);

    EXPECT_EQ(1, connected.count());
    EXPECT_EQ(1, disconnected.count());
    EXPECT_GT(levels, 0);
    ASSERT_EQ(sources.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(320, frames[i]->width());
        ASSERT_EQ(240, frames[i]->height());
        EXPECT_GE(h264test::psnr(sources[i], *frames[i]), 35.0) << "picture " << i;
    }
}
