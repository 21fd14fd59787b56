// The virtual microphone on a PipeWire desktop, against a real PipeWire graph started by the
// test: the driver tool starts our source component, the program's audio clock (through
// pipewire-pulse) feeds its pipe, and pw-record records the source.
#include <gtest/gtest.h>

#include <QSignalSpy>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "output/vmicmanage.h"
#include "pipewire_graph.h"
#include "test_env.h"
#include "vmic_support.h"

namespace {

// A recording of KivoMic by pw-record into a WAV file, read back when it ends.
class PwRecord {
public:
    PwRecord() : path_(kivotest::scratchDir() + "/rec" + QString::number(++count_) + ".wav") {
        p_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // A call program's quantum (about 21 ms), not pw-record's 5 ms default: a recorder that
        // wakes 200 times a second loses sound of its own on a busy machine.
        p_.start("pw-record", {"--target", "KivoMic", "--rate", "48000", "--channels", "1",
                               "--format", "s16", "--latency", "1024", path_});
        p_.waitForStarted(5000);
    }
    ~PwRecord() { finish(); }
    std::vector<int16_t> finish() {
        proctest::stop(p_);  // pw-record writes the file's end on the way out
        QFile f(path_);
        if (!f.open(QIODevice::ReadOnly)) return {};
        const QByteArray wav = f.readAll();
        // The sample data follows the "data" chunk's header; the recorder may have been
        // stopped before writing the chunk's final length, so read to the end.
        const int data = wav.indexOf("data", 12);
        if (data < 0) return {};
        const QByteArray pcm = wav.mid(data + 8);
        return vmictest::toSamples(pcm.left(pcm.size() & ~1));
    }

private:
    static inline int count_ = 0;
    QString path_;
    QProcess p_;
};

// Whether some link feeds the node named name (a recorder is attached and running).
bool linked(const QString& name) {
    const QJsonArray all = pwtest::dump();
    int id = -1;
    for (const QJsonValue& v : all) {
        const QJsonObject o = v.toObject();
        if (o.value("type").toString() == "PipeWire:Interface:Node" &&
            o.value("info").toObject().value("props").toObject().value("node.name") == name)
            id = o.value("id").toInt();
    }
    for (const QJsonValue& v : all) {
        const QJsonObject info = v.toObject().value("info").toObject();
        if (v.toObject().value("type").toString() == "PipeWire:Interface:Link" &&
            info.value("output-node-id").toInt() == id && info.value("state") == "active")
            return true;
    }
    return false;
}

void installAndOpen(VMicManage& mic) {
    QSignalSpy installed(&mic, &VMicManage::sig_installResult);
    mic.runAction(VMicManage::kCmdInstall);
    ASSERT_TRUE(installed.wait(10000));
    ASSERT_TRUE(installed.at(0).at(0).toBool());
    QSignalSpy opened(&mic, &VMicManage::sig_openResult);
    mic.setOpen(true);
    ASSERT_TRUE(opened.wait(5000));
    ASSERT_TRUE(opened.at(0).at(0).toBool());
}

// Stops the source component even when the test ends early: it would otherwise outlive the
// test, waiting for a daemon that never comes back.
struct ComponentStopper {
    ~ComponentStopper() { QProcess::execute(kivotest::binDir() + "/kivocam-vmic", {"--stop"}); }
};

void remove(VMicManage& mic) {
    QSignalSpy removed(&mic, &VMicManage::sig_uninstallResult);
    mic.runAction(VMicManage::kCmdRemove);
    ASSERT_TRUE(removed.wait(10000));
    EXPECT_TRUE(removed.at(0).at(0).toBool());
}

}  // namespace

// The camera component and a consumer of its node, which share the graph's thread with the
// microphone as they do on a desktop where a call program shows the picture.
struct CameraConsumer {
    CameraConsumer() {
        camera.start(kivotest::binDir() + "/kivocam-vcam", {"--register", "--foreground"});
        if (!proctest::waitFor([] { return !pwtest::node("KivoCam").isEmpty(); }, 10000)) return;
        viewer.start("gst-launch-1.0", {"-q", "pipewiresrc", "target-object=KivoCam", "!",
                                        "video/x-raw,format=I420,width=1280,height=720", "!",
                                        "fakesink", "sync=false"});
    }
    ~CameraConsumer() {
        proctest::stop(viewer);
        proctest::stop(camera);
    }
    QProcess camera;
    QProcess viewer;
};

// The source is a plain Audio/Source named as on PulseAudio; a recorder listening before the
// phone's sound starts hears all of it, at its pitch, without holes, while a camera consumer
// runs beside it; one that starts 3 s after it ended hears none of it; removal ends the source.
TEST(VMicPipeWire, WholeFirstSoundAndNoStaleSound) {
    pwtest::Graph graph;
    START_PIPEWIRE_OR_BAIL(graph);
    const ComponentStopper stopper;
    VMicManage mic;
    installAndOpen(mic);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(pwtest::waitFor([] { return !pwtest::node("KivoMic").isEmpty(); }, 5000));
    const QJsonObject props =
        pwtest::node("KivoMic").value("info").toObject().value("props").toObject();
    EXPECT_EQ(props.value("media.class").toString(), "Audio/Source");
    EXPECT_EQ(props.value("node.description").toString(), "Kivo Virtual Microphone");

    {
        const CameraConsumer camera;
        ASSERT_TRUE(pwtest::waitFor([] { return linked("KivoCam"); }, 10000))
            << "no camera consumer runs";
        PwRecord early;
        ASSERT_TRUE(pwtest::waitFor([] { return linked("KivoMic"); }, 10000));
        {
            const vmictest::PacedTone phone([&mic](const PcmFramePtr& f) { mic.changePcmFmt(f); },
                                            1, 0, 2.0);
            std::this_thread::sleep_for(std::chrono::milliseconds(2600));
        }
        const vmictest::ToneMeasure m = vmictest::measureTone(early.finish());
        std::printf("heard %.3f s of the 2.0 s tone, longest hole %.1f ms, %.1f Hz\n", m.seconds,
                    m.longestGap * 1000, m.hz);
        EXPECT_GE(m.seconds, 1.95);
        EXPECT_LE(m.seconds, 2.05);
        EXPECT_LE(m.longestGap, 0.010);
        EXPECT_NEAR(m.hz, 440, 2.0 + 440.0 * VMicManage::kMaxCorrectionPermille / 1000);
    }
    {
        const vmictest::PacedTone phone([&mic](const PcmFramePtr& f) { mic.changePcmFmt(f); }, 1, 0,
                                        2.0);
        std::this_thread::sleep_for(std::chrono::seconds(5));  // the recorder comes late
        PwRecord late;
        ASSERT_TRUE(pwtest::waitFor([] { return linked("KivoMic"); }, 10000));
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_EQ(vmictest::measureTone(late.finish()).seconds, 0);
    }
    remove(mic);
    EXPECT_TRUE(pwtest::waitFor([] { return pwtest::node("KivoMic").isEmpty(); }, 5000));
}
