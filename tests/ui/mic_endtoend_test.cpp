// What other programs hear of the phone: a real PulseAudio server, the driver tool's pipe source,
// the main window opening the microphone from the saved setting, and the phone simulator's tone
// recorded from the source with parec.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <cmath>

#include "config/kivocamdata.h"
#include "mirror/kivospmirrorserver.h"
#include "mirror/socketserver.h"
#include "output/vmicmanage.h"
#include "test_env.h"
#include "ui/mainwindow.h"
#include "vmic_support.h"
#include "windowtest.h"

#include "kivobridge/bridge.h"

using vmictest::PulseServer;
using vmictest::Recording;

namespace {

QString devcon() {
    return kivotest::binDir() + "/Drivers/x64/devcon";
}

constexpr int kSamplesPerMs = 48;

// Keeps the event loop running while a recording collects ms milliseconds of samples.
std::vector<int16_t> recordWhileServing(Recording& recording, int ms) {
    std::vector<int16_t> all;
    for (int done = 0; done < ms; done += 100) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        const std::vector<int16_t> part = recording.collect(100 * kSamplesPerMs, 1000);
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

}  // namespace

// Install makes the source appear; the window opens the microphone silently from the saved
// setting; without a phone the source is silent; the phone's 440 Hz tone reaches the source at
// its pitch while the speakers stay silent ("audio.play" is off by default); removal makes the
// source disappear.
TEST(MicrophoneEndToEnd, PhoneToneReachesTheSource) {
    qRegisterMetaType<I420FramePtr>("I420FramePtr");
    qRegisterMetaType<PcmFramePtr>("PcmFramePtr");
    PulseServer pulse;
    START_PULSE_OR_BAIL(pulse);
    const PulseServer::Result installed = PulseServer::run(
        devcon(), {"/r", "install", "KivoVirtualAudioDevice.inf", "*KivoWaveExtensible"});
    ASSERT_EQ(0, installed.exitCode);
    EXPECT_TRUE(installed.out.contains("Drivers installed successfully."));
    ASSERT_TRUE(PulseServer::sources().contains("KivoMic"));

    KivoCamData::instance()->setOpenVirtualMic(true);
    windowtest::Boxes boxes;
    MainWindow window;
    QElapsedTimer wait;
    wait.start();
    while (!window.isMicrophoneOpen() && wait.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_TRUE(window.isMicrophoneOpen());
    ASSERT_TRUE(window.microphone()->isDeviceOpen());
    EXPECT_TRUE(boxes.shown().empty());  // the open the setting asked for is not announced

    Recording mic("KivoMic");
    Recording speakers("KivoTestSink.monitor");
    ASSERT_TRUE(mic.settle(1000 * kSamplesPerMs));
    ASSERT_TRUE(speakers.settle(200 * kSamplesPerMs));
    EXPECT_EQ(0, vmictest::peak(recordWhileServing(mic, 500)));

    QProcess phone;
    phone.setProcessChannelMode(QProcess::MergedChannels);
    phone.start(kivotest::binDir() + "/kivocam-phonesim",
                {"--port", QString::number(window.mirrorServer()->mirrorServer()->commandPort()),
                 "--no-video", "--tone", "440", "--duration", "4"});
    ASSERT_TRUE(phone.waitForStarted(5000));
    recordWhileServing(mic, 1500);  // connection, and the FIFO filling
    speakers.collect(10 * kSamplesPerMs, 200);
    const std::vector<int16_t> tone = recordWhileServing(mic, 1500);
    const std::vector<int16_t> monitor = speakers.collect(200 * kSamplesPerMs, 1000);
    while (phone.state() != QProcess::NotRunning && wait.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(0, phone.exitCode()) << phone.readAll().toStdString();

    EXPECT_GT(vmictest::peak(tone), 1000);
    // The microphone may retime by up to its largest drift correction while its queue settles.
    EXPECT_NEAR(440.0, vmictest::frequency(tone, 48000),
                3.0 + 440.0 * VMicManage::kMaxCorrectionPermille / 1000);
    EXPECT_FALSE(monitor.empty());
    EXPECT_EQ(0, vmictest::peak(monitor));

    mic.finish();
    speakers.finish();
    const PulseServer::Result removed =
        PulseServer::run(devcon(), {"remove", "*KivoWaveExtensible"});
    EXPECT_TRUE(removed.out.contains("1 device(s) were removed.")) << removed.out.toStdString();
    EXPECT_FALSE(PulseServer::sources().contains("KivoMic"));
}

// What the user is told about the microphone: nothing for the open the saved setting asks for at
// start-up; a later open and close from the settings are announced; removal and installation of
// the driver each report their outcome (and a fresh installation opens the microphone); with no
// driver, opening asks to install it, and "否" turns the setting off; closing the window with the
// microphone open closes it without a message.
TEST(MicrophoneEndToEnd, ResultsAreAnnouncedExceptTheSilentOnes) {
    qRegisterMetaType<I420FramePtr>("I420FramePtr");
    qRegisterMetaType<PcmFramePtr>("PcmFramePtr");
    PulseServer pulse;
    START_PULSE_OR_BAIL(pulse);
    ASSERT_EQ(0, PulseServer::run(devcon(), {"/r", "install", "KivoVirtualAudioDevice.inf",
                                             "*KivoWaveExtensible"})
                     .exitCode);
    const QString opened = QString::fromUtf8("虚拟麦克风已开启！");
    const QString closed = QString::fromUtf8("虚拟麦克风已关闭！");
    auto publish = [](bool on) {
        bg::CD->signalBus()->publish("mainWindows.virtualMic", bg::Value(on));
    };
    KivoCamData::instance()->setOpenVirtualMic(true);
    {
        windowtest::Boxes boxes(false);
        MainWindow window;
        ASSERT_TRUE(windowtest::waitFor([&] { return window.isMicrophoneOpen(); }, 10000));
        windowtest::settle(300);
        EXPECT_TRUE(boxes.shown().empty());

        publish(false);
        ASSERT_TRUE(windowtest::waitFor([&] { return boxes.contains(closed); }, 10000));
        EXPECT_FALSE(window.isMicrophoneOpen());
        publish(true);
        ASSERT_TRUE(windowtest::waitFor([&] { return boxes.contains(opened); }, 10000));
        EXPECT_TRUE(window.isMicrophoneOpen());
        EXPECT_TRUE(KivoCamData::instance()->openVirtualMic());

        boxes.clear();
        window.microphone()->runAction(VMicManage::kCmdRemove);
        ASSERT_TRUE(windowtest::waitFor(
            [&] { return boxes.contains(QString::fromUtf8("虚拟麦克风驱动卸载成功！")); }, 10000));
        EXPECT_FALSE(PulseServer::sources().contains("KivoMic"));

        // No driver: opening asks to install it; "否" turns the setting off.
        boxes.clear();
        publish(true);
        ASSERT_TRUE(windowtest::waitFor([&] { return !boxes.shown().empty(); }, 10000));
        EXPECT_EQ(ui::BoxKind::Question, boxes.shown().front().kind);
        EXPECT_TRUE(
            boxes.shown().front().text.contains(QString::fromUtf8("尚未安装虚拟麦克风驱动")));
        EXPECT_FALSE(KivoCamData::instance()->openVirtualMic());

        boxes.clear();
        window.microphone()->runAction(VMicManage::kCmdInstall);
        ASSERT_TRUE(windowtest::waitFor([&] { return boxes.contains(opened); }, 15000));
        EXPECT_TRUE(PulseServer::sources().contains("KivoMic"));
        EXPECT_TRUE(window.isMicrophoneOpen());
        boxes.clear();
        // The window closes with the microphone open: closed quietly.
    }
    windowtest::Boxes after;
    windowtest::settle(300);
    EXPECT_FALSE(after.contains(closed));
    PulseServer::run(devcon(), {"remove", "*KivoWaveExtensible"});
}
