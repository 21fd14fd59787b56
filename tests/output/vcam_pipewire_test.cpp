// The camera component's PipeWire node against a real PipeWire graph started by the test: what
// a browser-style consumer reads from it (pw-dump), and the pictures a GStreamer consumer gets
// from it while the program's writer puts pictures into the block.
#include <gtest/gtest.h>

#include <QProcess>

#include <libyuv.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "camera_pictures.h"
#include "component.h"
#include "letterbox.h"
#include "output/camerablock.h"
#include "output/namedsharedmemory.h"
#include "output/sharememorymanager.h"
#include "pipewire_graph.h"
#include "test_env.h"

namespace {

constexpr int kW = 1280;
constexpr int kH = 720;
const size_t kFrameBytes = camerablock::i420Size(kW, kH);

// kivocam-vcam --register in the foreground, its messages collected.
class Component {
public:
    Component() {
        p_.setProcessChannelMode(QProcess::MergedChannels);
        p_.start(kivotest::binDir() + "/kivocam-vcam", {"--register", "--foreground"});
        p_.waitForStarted(5000);
    }
    ~Component() { proctest::stop(p_); }
    // Everything it has printed so far (waits briefly for what is still in the pipe).
    QString log() {
        while (p_.waitForReadyRead(100)) log_ += QString::fromLocal8Bit(p_.readAll());
        log_ += QString::fromLocal8Bit(p_.readAll());
        return log_;
    }
    bool running() const { return p_.state() == QProcess::Running; }
    QProcess& process() { return p_; }

private:
    QProcess p_;
    QString log_;
};

// A GStreamer consumer of the node, never restarted, reading raw 1280x720 pictures in the format
// it asks for (I420 or YUY2); it hands them out as tight I420.
class Consumer {
public:
    explicit Consumer(const QString& format = "I420") : yuy2_(format == "YUY2") {
        p_.start("gst-launch-1.0",
                 {"-q", "pipewiresrc", "target-object=KivoCam", "!",
                  QString("video/x-raw,format=%1,width=%2,height=%3").arg(format).arg(kW).arg(kH),
                  "!", "fdsink", "fd=1", "sync=false"});
        p_.waitForStarted(5000);
    }
    ~Consumer() { proctest::stop(p_); }
    // Reads pictures until one satisfies match (returned) or timeoutMs passes (empty).
    std::vector<uint8_t> waitFor(const std::function<bool(const std::vector<uint8_t>&)>& match,
                                 int timeoutMs) {
        const int bytes = yuy2_ ? kW * kH * 2 : static_cast<int>(kFrameBytes);
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs && p_.state() == QProcess::Running) {
            while (pending_.size() >= bytes) {
                const auto* p = reinterpret_cast<const uint8_t*>(pending_.constData());
                std::vector<uint8_t> frame(p, p + kFrameBytes);
                if (yuy2_) {
                    const vcam::I420View v = vcam::tightView(frame.data(), kW, kH);
                    libyuv::YUY2ToI420(p, kW * 2, const_cast<uint8_t*>(v.y), kW,
                                       const_cast<uint8_t*>(v.u), kW / 2, const_cast<uint8_t*>(v.v),
                                       kW / 2, kW, kH);
                }
                pending_.remove(0, bytes);
                ++frames_;
                if (match(frame)) return frame;
            }
            p_.waitForReadyRead(50);
            pending_ += p_.readAllStandardOutput();
        }
        return {};
    }
    int frames() const { return frames_; }
    bool running() const { return p_.state() == QProcess::Running; }

private:
    const bool yuy2_;
    QProcess p_;
    QByteArray pending_;
    int frames_ = 0;
};

bool isPlaceholder(const std::vector<uint8_t>& f) {
    const long off =
        std::count_if(f.begin(), f.begin() + kW * kH, [](uint8_t v) { return v != 40; });
    return off < kW * kH / 100;
}

// Worst plane PSNR of a consumer picture against a tight I420 reference.
double psnrTo(const std::vector<uint8_t>& f, const uint8_t* ref) {
    const vcam::I420View a = vcam::tightView(f.data(), kW, kH);
    const vcam::I420View b = vcam::tightView(ref, kW, kH);
    double worst = camtest::psnr(a.y, kW, b.y, kW, kW, kH);
    worst = std::min(worst, camtest::psnr(a.u, kW / 2, b.u, kW / 2, kW / 2, kH / 2));
    return std::min(worst, camtest::psnr(a.v, kW / 2, b.v, kW / 2, kW / 2, kH / 2));
}

std::vector<uint8_t> fitted(const I420FramePtr& picture) {
    std::vector<uint8_t> out(kFrameBytes);
    vcam::letterbox(vcam::tightView(picture->dataY(), picture->width(), picture->height()),
                    out.data(), kW, kH);
    return out;
}

class VcamPipeWire : public ::testing::Test {
protected:
    void SetUp() override { NamedSharedMemory::removeObjects(camerablock::baseName()); }
    void TearDown() override { NamedSharedMemory::removeObjects(camerablock::baseName()); }
};

// A browser lists the node only with the camera class and role, a description, and formats of
// one fixed size each (a size range is refused); 30 fps.
void expectCameraNode(const QJsonObject& node) {
    const QJsonObject info = node.value("info").toObject();
    const QJsonObject props = info.value("props").toObject();
    EXPECT_EQ(props.value("media.class").toString(), "Video/Source");
    EXPECT_EQ(props.value("media.role").toString(), "Camera");
    EXPECT_TRUE(props.value("node.description").toString().contains("KivoCam"));
    const QJsonArray formats = info.value("params").toObject().value("EnumFormat").toArray();
    ASSERT_FALSE(formats.isEmpty());
    bool landscapeI420 = false;
    for (const QJsonValue& v : formats) {
        const QJsonObject f = v.toObject();
        const QJsonObject size = f.value("size").toObject();
        const int w = size.value("width").toInt(), h = size.value("height").toInt();
        EXPECT_TRUE((w == 1280 && h == 720) || (w == 720 && h == 1280))
            << QJsonDocument(f).toJson().toStdString();
        EXPECT_TRUE(f.value("format").isString()) << "format must be one value";
        EXPECT_EQ(f.value("framerate").toObject().value("num").toInt(), 30);
        EXPECT_EQ(f.value("framerate").toObject().value("denom").toInt(), 1);
        if (w == 1280 && f.value("format").toString() == "I420") landscapeI420 = true;
    }
    EXPECT_TRUE(landscapeI420);
}

// One consumer, never restarted, sees: the placeholder before any phone, the phone's picture,
// the placeholder again when the session ends, a portrait picture fitted into its landscape
// size after a turn, and a landscape picture again; its size never changes under it.
TEST_F(VcamPipeWire, ConsumerFollowsSessionsAndTurns) {
    pwtest::Graph graph;
    START_PIPEWIRE_OR_BAIL(graph);
    ShareMemoryManager writer;
    writer.createMemory(camerablock::kBlockSize);
    writer.clearFrame();
    writer.startWrite();
    Component component;
    ASSERT_TRUE(pwtest::waitFor([] { return !pwtest::node("KivoCam").isEmpty(); }, 10000))
        << component.log().toStdString();
    expectCameraNode(pwtest::node("KivoCam"));
    EXPECT_TRUE(component.log().contains("offering node KivoCam"));

    Consumer consumer;
    ASSERT_FALSE(consumer.waitFor(isPlaceholder, 15000).empty()) << component.log().toStdString();

    const I420FramePtr first = camtest::makePicture(kW, kH, 31);
    writer.setFrame(first);
    const auto seen = consumer.waitFor(
        [&](const std::vector<uint8_t>& f) { return psnrTo(f, first->dataY()) >= 30; }, 10000);
    EXPECT_FALSE(seen.empty()) << "the phone's picture did not arrive";

    writer.stopWrite();  // the phone leaves, as the window handles it
    EXPECT_FALSE(consumer.waitFor(isPlaceholder, 10000).empty());

    const I420FramePtr portrait = camtest::makePicture(720, 1280, 32);
    const std::vector<uint8_t> portraitFitted = fitted(portrait);
    writer.startWrite();  // a new session, the phone held upright
    writer.setFrame(portrait);
    EXPECT_FALSE(consumer
                     .waitFor(
                         [&](const std::vector<uint8_t>& f) {
                             return psnrTo(f, portraitFitted.data()) >= 30;
                         },
                         10000)
                     .empty())
        << "the turned picture did not arrive fitted";

    const I420FramePtr second = camtest::makePicture(kW, kH, 33);
    writer.setFrame(second);
    EXPECT_FALSE(
        consumer
            .waitFor(
                [&](const std::vector<uint8_t>& f) { return psnrTo(f, second->dataY()) >= 30; },
                10000)
            .empty());
    EXPECT_TRUE(consumer.running());
    EXPECT_TRUE(component.running()) << component.log().toStdString();
    std::printf("consumer got %d pictures\n%s", consumer.frames(),
                component.log().toLocal8Bit().constData());
    writer.stopWrite();
}

// Without a daemon and without a loopback device the component says why neither camera runs
// and exits with its own status; with a daemon it offers the node, and when the daemon goes
// away with the session and comes back, the node comes back in the same component.
TEST_F(VcamPipeWire, NoDaemonAndDaemonRestart) {
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(kivotest::binDir() + "/kivocam-vcam", {"--register", "--foreground"});
        ASSERT_TRUE(p.waitForFinished(10000));
        EXPECT_EQ(p.exitCode(), vcam::kExitNoDevice);
        const QString out = QString::fromLocal8Bit(p.readAll());
        EXPECT_TRUE(out.contains("no PipeWire camera: no PipeWire daemon answers at"))
            << out.toStdString();
        EXPECT_TRUE(out.contains("no v4l2loopback output device")) << out.toStdString();
    }

    pwtest::Graph graph;
    START_PIPEWIRE_OR_BAIL(graph);
    ShareMemoryManager writer;
    writer.createMemory(camerablock::kBlockSize);
    writer.startWrite();
    const I420FramePtr picture = camtest::makePicture(kW, kH, 41);
    writer.setFrame(picture);
    Component component;
    ASSERT_TRUE(pwtest::waitFor([] { return !pwtest::node("KivoCam").isEmpty(); }, 10000))
        << component.log().toStdString();
    const QString restarted = graph.restart();
    ASSERT_TRUE(restarted.isEmpty()) << restarted.toStdString();
    EXPECT_TRUE(pwtest::waitFor([] { return !pwtest::node("KivoCam").isEmpty(); }, 15000))
        << component.log().toStdString();
    EXPECT_TRUE(component.running());
    EXPECT_TRUE(component.log().contains("lost the PipeWire daemon"))
        << component.log().toStdString();

    // The node that came back delivers, here in the packed format a consumer may ask for.
    Consumer packed("YUY2");
    EXPECT_FALSE(
        packed
            .waitFor(
                [&](const std::vector<uint8_t>& f) { return psnrTo(f, picture->dataY()) >= 30; },
                10000)
            .empty())
        << "no YUY2 picture after the restart\n"
        << component.log().toStdString();
    EXPECT_TRUE(component.log().contains("a consumer takes 1280x720 YUY2"));
    writer.stopWrite();
}

}  // namespace
