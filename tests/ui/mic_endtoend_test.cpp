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

#include "app/kivocamdata.h"
#include "mirror/kivospmirrorserver.h"
#include "mirror/socketserver.h"
#include "output/vmicmanage.h"
#include "test_env.h"
#include "ui/mainwindow.h"
#include "vmic_support.h"

using vmictest::PulseServer;
using vmictest::Recording;

namespace {

QString devcon() {
    return kivotest::binDir() + "/Drivers/x64/devcon";
}

// Keeps the event loop running while a recording collects ms milliseconds.
std::vector<int16_t> recordWhileServing(Recording& recording, int ms) {
    std::vector<int16_t> all;
    for (int done = 0; done < ms; done += 100) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        const std::vector<int16_t> part = recording.collect(100);
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
    const QString why = pulse.start();
    if (!why.isEmpty()) {
        if (vmictest::inCi()) FAIL() << "PulseAudio must run in CI: " << why.toStdString();
        GTEST_SKIP() << "no PulseAudio here: " << why.toStdString();
    }
    const PulseServer::Result installed = PulseServer::run(
        devcon(), {"/r", "install", "KivoVirtualAudioDevice.inf", "*KivoWaveExtensible"});
    ASSERT_EQ(0, installed.exitCode);
    EXPECT_TRUE(installed.out.contains("Drivers installed successfully."));
    ASSERT_TRUE(PulseServer::sources().contains("KivoMic"));

    KivoCamData::instance()->setOpenVirtualMic(true);
    MainWindow window;
    QElapsedTimer wait;
    wait.start();
    while (!window.isMicrophoneOpen() && wait.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_TRUE(window.isMicrophoneOpen());
    ASSERT_TRUE(window.microphone()->isDeviceOpen());

    Recording mic("KivoMic");
    Recording speakers("KivoTestSink.monitor");
    ASSERT_TRUE(mic.settle(1000));
    ASSERT_TRUE(speakers.settle(200));
    EXPECT_EQ(0, vmictest::peak(recordWhileServing(mic, 500)));

    QProcess phone;
    phone.setProcessChannelMode(QProcess::MergedChannels);
    phone.start(kivotest::binDir() + "/kivocam-phonesim",
                {"--port", QString::number(window.mirrorServer()->mirrorServer()->commandPort()),
                 "--no-video", "--tone", "440", "--duration", "4"});
    ASSERT_TRUE(phone.waitForStarted(5000));
    recordWhileServing(mic, 1500);  // connection, and the FIFO filling
    speakers.collect(10);
    const std::vector<int16_t> tone = recordWhileServing(mic, 1500);
    const std::vector<int16_t> monitor = speakers.collect(200);
    while (phone.state() != QProcess::NotRunning && wait.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(0, phone.exitCode()) << phone.readAll().toStdString();

    EXPECT_GT(vmictest::peak(tone), 1000);
    EXPECT_NEAR(440.0, vmictest::frequency(tone, 48000), 3.0);
    EXPECT_FALSE(monitor.empty());
    EXPECT_EQ(0, vmictest::peak(monitor));

    mic.finish();
    speakers.finish();
    const PulseServer::Result removed =
        PulseServer::run(devcon(), {"remove", "*KivoWaveExtensible"});
    EXPECT_TRUE(removed.out.contains("1 device(s) were removed.")) << removed.out.toStdString();
    EXPECT_FALSE(PulseServer::sources().contains("KivoMic"));
}
