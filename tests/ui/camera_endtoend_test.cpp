// What other programs see of the phone: the phone simulator streams into the main window, and
// the camera block is read the way the camera component reads it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <cmath>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "blockreader.h"
#include "mirror/kivospmirrorserver.h"
#include "mirror/socketserver.h"
#include "output/camerablock.h"
#include "output/namedsharedmemory.h"
#include "stamp.h"
#include "test_env.h"
#include "ui/mainwindow.h"

namespace {

using Bytes = std::vector<uint8_t>;

// PSNR of two tightly packed I420 pictures of one size (99 when identical).
double psnr(const uint8_t* a, const uint8_t* b, size_t size) {
    double sum = 0;
    for (size_t i = 0; i < size; ++i) {
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    if (sum == 0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * double(size) / sum);
}

std::vector<Bytes> readRaw(const QString& path, size_t pictureSize) {
    QFile f(path);
    std::vector<Bytes> out;
    if (!f.open(QIODevice::ReadOnly)) return out;
    const QByteArray all = f.readAll();
    for (size_t pos = 0; pos + pictureSize <= size_t(all.size()); pos += pictureSize) {
        const auto* p = reinterpret_cast<const uint8_t*>(all.constData()) + pos;
        out.emplace_back(p, p + pictureSize);
    }
    return out;
}

// Pictures of a YUV4MPEG2 stream (frame headers without parameters, as kivocam-vcam writes).
std::vector<Bytes> readY4m(const QString& path, int* width, int* height) {
    QFile f(path);
    std::vector<Bytes> out;
    if (!f.open(QIODevice::ReadOnly)) return out;
    const QByteArray all = f.readAll();
    const int eol = all.indexOf('\n');
    if (eol < 0 || std::sscanf(all.constData(), "YUV4MPEG2 W%d H%d", width, height) != 2)
        return out;
    const size_t size = camerablock::i420Size(*width, *height);
    for (int pos = eol + 1; all.mid(pos, 6) == "FRAME\n" && pos + 6 + int(size) <= all.size();
         pos += 6 + int(size)) {
        const auto* p = reinterpret_cast<const uint8_t*>(all.constData()) + pos + 6;
        out.emplace_back(p, p + size);
    }
    return out;
}

double bestMatch(const Bytes& picture, const std::vector<Bytes>& sources) {
    double best = 0;
    for (const Bytes& s : sources)
        if (s.size() == picture.size())
            best = std::max(best, psnr(s.data(), picture.data(), s.size()));
    return best;
}

class CameraEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        qRegisterMetaType<I420FramePtr>("I420FramePtr");
        qRegisterMetaType<PcmFramePtr>("PcmFramePtr");
        NamedSharedMemory::removeObjects(camerablock::baseName());
        window_ = std::make_unique<MainWindow>();
        port_ = window_->mirrorServer()->mirrorServer()->commandPort();
    }
    void TearDown() override {
        window_.reset();
        NamedSharedMemory::removeObjects(camerablock::baseName());
    }

    // Streams one phone session while the event loop runs; onTick is called every ~10 ms with
    // the latest camera reading. Returns the simulator's exit code.
    int stream(const QStringList& args,
               const std::function<void(vcam::BlockReader&, vcam::BlockReader::Result)>& onTick) {
        QProcess sim;
        sim.setProcessChannelMode(QProcess::MergedChannels);
        sim.start(kivotest::binDir() + "/kivocam-phonesim",
                  QStringList{"--port", QString::number(port_), "--fps", "30"} + args);
        if (!sim.waitForStarted(5000)) return -1;
        vcam::BlockReader reader(camerablock::baseName());
        QElapsedTimer timer;
        timer.start();
        while (sim.state() != QProcess::NotRunning && timer.elapsed() < 30000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            const vcam::BlockReader::Result r = reader.next(10);
            if (onTick) onTick(reader, r);
        }
        // Until the disconnection has reached the window and the camera has been read since.
        QElapsedTimer settle;
        settle.start();
        bool readSince = false;
        while (settle.elapsed() < 3000 && (window_->isConnected() || !readSince)) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            const vcam::BlockReader::Result r = reader.next(10);
            if (!window_->isConnected() && r != vcam::BlockReader::Result::Nothing)
                readSince = true;
            if (onTick) onTick(reader, r);
        }
        return sim.exitStatus() == QProcess::NormalExit ? sim.exitCode() : -1;
    }

    std::unique_ptr<MainWindow> window_;
    quint16 port_ = 0;
};

}  // namespace

// Only 1280 x 720 and 720 x 1280 are cameras' sizes: a 1280 x 722 phone is shown but never
// reaches the camera; a 1280 x 720 phone reaches it intact, as kivocam-vcam records it; after the
// phone leaves the camera says "no picture"; a phone that comes back without pictures still
// gets "no picture", not the last one; a 1284-wide phone reaches the camera as 1280 x 720.
TEST_F(CameraEndToEnd, WhatOtherProgramsSee) {
    ASSERT_NE(0, port_);
    const size_t size720 = camerablock::i420Size(1280, 720);
    using Result = vcam::BlockReader::Result;

    int oddPictures = 0;
    ASSERT_EQ(0,
              stream({"--size", "1280x722", "--duration", "1"},
                     [&](vcam::BlockReader&, Result r) { oddPictures += r == Result::Picture; }));
    EXPECT_EQ(0, oddPictures);

    const QString y4m = kivotest::scratchDir() + "/camera.y4m";
    const QString sent = kivotest::scratchDir() + "/sent720.yuv";
    QProcess vcamProcess;
    // The component takes the refresh events while it runs, so it stops well before the phone.
    vcamProcess.start(kivotest::binDir() + "/kivocam-vcam",
                      {"--y4m", y4m, "--count", "20", "--seconds", "10"});
    ASSERT_TRUE(vcamProcess.waitForStarted(5000));
    Result last = Result::NotOpen;
    ASSERT_EQ(0, stream({"--size", "1280x720", "--duration", "2", "--dump-yuv", sent},
                        [&](vcam::BlockReader&, Result r) {
                            if (r != Result::Nothing) last = r;
                        }));
    if (vcamProcess.state() != QProcess::NotRunning) vcamProcess.waitForFinished(15000);
    EXPECT_EQ(0, vcamProcess.exitCode());
    const std::vector<Bytes> sources = readRaw(sent, size720);
    ASSERT_GE(sources.size(), 50u);
    int width = 0, height = 0;
    const std::vector<Bytes> seen = readY4m(y4m, &width, &height);
    EXPECT_EQ(1280, width);
    EXPECT_EQ(720, height);
    EXPECT_EQ(20u, seen.size());
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_GE(bestMatch(seen[i], sources), 30.0) << "camera picture " << i;

    EXPECT_EQ(Result::Empty, last);

    // Back without video: the camera says "no picture" for the whole session, never showing
    // the earlier session's last picture.
    int lastPictures = 0, otherPictures = 0, empty = 0;
    ASSERT_EQ(0, stream({"--no-video", "--duration", "1"}, [&](vcam::BlockReader& r, Result res) {
                  empty += res == Result::Empty;
                  if (res != Result::Picture) return;
                  const Bytes picture(r.picture(), r.picture() + size720);
                  if (psnr(picture.data(), sources.back().data(), size720) >= 30.0)
                      ++lastPictures;
                  else
                      ++otherPictures;
              }));
    EXPECT_EQ(0, lastPictures);
    EXPECT_EQ(0, otherPictures);
    EXPECT_GT(empty, 5);

    int cropped = 0, wrongSize = 0;
    ASSERT_EQ(
        0, stream({"--size", "1284x720", "--duration", "1"}, [&](vcam::BlockReader& r, Result res) {
            if (res != Result::Picture) return;
            if (r.header().width == 1280 && r.header().height == 720)
                ++cropped;
            else
                ++wrongSize;
        }));
    EXPECT_GT(cropped, 5);
    EXPECT_EQ(0, wrongSize);
}

// The camera must not wait for the window: while the GUI thread is busy (here: not running its
// event loop for a second), other programs still get each new picture of the phone.
TEST_F(CameraEndToEnd, CameraDoesNotWaitForTheWindow) {
    ASSERT_NE(0, port_);
    std::set<uint32_t> codes;
    bool blocked = false;
    ASSERT_EQ(0, stream({"--size", "1280x720", "--duration", "3", "--code-stamp"},
                        [&](vcam::BlockReader& reader, vcam::BlockReader::Result r) {
                            if (blocked || r != vcam::BlockReader::Result::Picture) return;
                            blocked = true;
                            QElapsedTimer busy;
                            busy.start();
                            while (busy.elapsed() < 1000) {
                                uint32_t code = 0;
                                if (reader.next(10) == vcam::BlockReader::Result::Picture &&
                                    phonesim::readStamp(reader.picture(), 1280, 1280, 720, &code))
                                    codes.insert(code);
                            }
                        }));
    EXPECT_TRUE(blocked);
    // 30 pictures a second are sent; a camera fed through the GUI thread gets at most one.
    EXPECT_GE(codes.size(), 20u);
}
