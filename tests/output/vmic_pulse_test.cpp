// The virtual microphone end to end against a real PulseAudio server started by the test: the
// driver tool loads and unloads the pipe source, RtAudio clocks the feed, and what reaches the
// source and the speakers is recorded with parec.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "config/settingsaccess.h"
#include "output/vmicmanage.h"
#include "vmic_support.h"

using vmictest::PulseServer;
using vmictest::Recording;

namespace {

// The microphone may retime by up to its largest drift correction while its queue settles (a
// stall of the audio clock just as the tone starts leaves it fuller than its target).
constexpr double kPitchTolerance = 2.0 + 440.0 * VMicManage::kMaxCorrectionPermille / 1000;

// A 440 Hz tone as 44.1 kHz stereo at the pace of real time, as the network thread sends it.
vmictest::PacedTone startTone(VMicManage* mic) {
    return vmictest::PacedTone([mic](const PcmFramePtr& f) { mic->changePcmFmt(f); }, 2);
}

// Installs the driver and opens the microphone, as the main window does on a first start.
void installAndOpen(VMicManage& mic) {
    QSignalSpy needInstall(&mic, &VMicManage::sig_needInstallDLL);
    QSignalSpy installed(&mic, &VMicManage::sig_installResult);
    QSignalSpy opened(&mic, &VMicManage::sig_openResult);
    mic.setOpen(true);
    ASSERT_TRUE(needInstall.wait(5000));
    EXPECT_FALSE(PulseServer::sources().contains("KivoMic"));
    mic.runAction(2);
    ASSERT_TRUE(installed.wait(5000));
    ASSERT_TRUE(installed.at(0).at(0).toBool());
    EXPECT_TRUE(PulseServer::sources().contains("KivoMic"));
    mic.setOpen(true);
    ASSERT_TRUE(opened.wait(5000));
    ASSERT_TRUE(opened.at(0).at(0).toBool());
}

// Samples in ms milliseconds at 48 kHz.
constexpr int ms(int milliseconds) {
    return milliseconds * 48;
}

}  // namespace

// The whole microphone life: install makes the source appear, silence flows without audio, the
// phone's tone arrives at the right pitch after resampling, removal makes the source go.
TEST(VMicPulse, InstallFeedAndRemove) {
    PulseServer server;
    START_PULSE_OR_BAIL(server);
    VMicManage mic;
    ASSERT_TRUE(mic.hasAudioStream());
    installAndOpen(mic);
    if (HasFatalFailure()) return;

    {
        Recording rec("KivoMic");
        ASSERT_TRUE(rec.settle(ms(300)));
        const std::vector<int16_t> quiet = rec.collect(ms(500));
        EXPECT_EQ(quiet.size(), static_cast<size_t>(ms(500)));
        EXPECT_EQ(vmictest::peak(quiet), 0);
    }
    {
        const auto feeder = startTone(&mic);
        Recording rec("KivoMic");
        ASSERT_TRUE(rec.settle(ms(300)));
        const std::vector<int16_t> heard = rec.collect(ms(1000));
        EXPECT_EQ(heard.size(), static_cast<size_t>(ms(1000)));
        EXPECT_NEAR(vmictest::frequency(heard, 48000), 440, kPitchTolerance);
        EXPECT_GT(vmictest::peak(heard), 10000);
    }

    QSignalSpy closed(&mic, &VMicManage::sig_closeResult);
    mic.setOpen(false);
    EXPECT_EQ(closed.count(), 1);
    QSignalSpy removed(&mic, &VMicManage::sig_uninstallResult);
    mic.runAction(3);
    ASSERT_TRUE(removed.wait(5000));
    EXPECT_TRUE(removed.at(0).at(0).toBool());
    EXPECT_FALSE(PulseServer::sources().contains("KivoMic"));
}

// A pipe path with a space reaches the sound server as one value: the source is made on that
// path and the microphone opens it.
TEST(VMicPulse, PipePathWithSpace) {
    const QString dir = kivotest::scratchDir() + "/with space";
    ASSERT_TRUE(QDir().mkpath(dir));
    qputenv("KIVOCAM_AUDIO_LINK", (dir + "/Kivo \"Link\"").toUtf8());
    PulseServer server;
    START_PULSE_OR_BAIL(server);
    VMicManage mic;
    QSignalSpy installed(&mic, &VMicManage::sig_installResult);
    QSignalSpy opened(&mic, &VMicManage::sig_openResult);
    mic.runAction(VMicManage::kCmdInstall);
    ASSERT_TRUE(installed.wait(5000));
    EXPECT_TRUE(installed.at(0).at(0).toBool());
    mic.setOpen(true);
    ASSERT_TRUE(opened.wait(5000));
    EXPECT_TRUE(opened.at(0).at(0).toBool());
    mic.runAction(VMicManage::kCmdRemove);
    QSignalSpy removed(&mic, &VMicManage::sig_uninstallResult);
    ASSERT_TRUE(removed.wait(5000));
}

// "audio.play" decides only what the speakers get: off, the null sink's monitor is silent while
// the microphone source still carries the tone; on, the speakers play it too.
TEST(VMicPulse, PlaySettingGatesSpeakersOnly) {
    PulseServer server;
    START_PULSE_OR_BAIL(server);
    VMicManage mic;
    ASSERT_TRUE(mic.hasAudioStream());
    installAndOpen(mic);
    if (HasFatalFailure()) return;
    const auto feeder = startTone(&mic);

    kivo::setSettingBool("audio.play", true);
    {
        Recording speakers("KivoTestSink.monitor");
        ASSERT_TRUE(speakers.settle(ms(1500)));  // and what the stream buffered before
        const std::vector<int16_t> heard = speakers.collect(ms(1000));
        EXPECT_NEAR(vmictest::frequency(heard, 48000), 440, kPitchTolerance);
        EXPECT_GT(vmictest::peak(heard), 10000);
    }

    kivo::setSettingBool("audio.play", false);
    {
        Recording speakers("KivoTestSink.monitor");
        Recording source("KivoMic");
        ASSERT_TRUE(speakers.settle(ms(1500)));
        ASSERT_TRUE(source.settle(ms(100)));
        const std::vector<int16_t> quiet = speakers.collect(ms(1000));
        const std::vector<int16_t> heard = source.collect(ms(1000));
        EXPECT_EQ(quiet.size(), static_cast<size_t>(ms(1000)));
        EXPECT_EQ(vmictest::peak(quiet), 0);
        EXPECT_NEAR(vmictest::frequency(heard, 48000), 440, kPitchTolerance);
    }
    mic.runAction(3);
    QSignalSpy removed(&mic, &VMicManage::sig_uninstallResult);
    ASSERT_TRUE(removed.wait(5000));
}
