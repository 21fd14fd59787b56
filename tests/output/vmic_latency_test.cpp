// The virtual microphone's timing against a real PulseAudio server: a phone clock that runs off
// is absorbed without dropping blocks, a recorder that comes late hears no stale sound, and one
// that listens from the start hears the phone's first sound whole.
#include <gtest/gtest.h>

#include <QSignalSpy>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "output/vmicmanage.h"
#include "test_env.h"
#include "vmic_support.h"

using vmictest::PulseServer;
using vmictest::Recording;

namespace {

using Clock = std::chrono::steady_clock;

// A phone sending mono, its clock `percent` fast, a tone for toneSeconds and silence after.
vmictest::PacedTone startPhone(VMicManage* mic, double percent, double toneSeconds) {
    return vmictest::PacedTone([mic](const PcmFramePtr& f) { mic->changePcmFmt(f); }, 1, percent,
                               toneSeconds);
}

void installAndOpen(VMicManage& mic) {
    QSignalSpy installed(&mic, &VMicManage::sig_installResult);
    mic.runAction(VMicManage::kCmdInstall);
    ASSERT_TRUE(installed.wait(5000));
    ASSERT_TRUE(installed.at(0).at(0).toBool());
    QSignalSpy opened(&mic, &VMicManage::sig_openResult);
    mic.setOpen(true);
    ASSERT_TRUE(opened.wait(5000));
    ASSERT_TRUE(opened.at(0).at(0).toBool());
}

// Seconds of sound: samples within 10 ms of one above the noise floor.
double loudSeconds(const std::vector<int16_t>& s) {
    long loud = 0;
    long last = -100000;
    for (size_t i = 0; i < s.size(); ++i) {
        if (std::abs(s[i]) > 500) last = static_cast<long>(i);
        if (static_cast<long>(i) - last < 480) ++loud;
    }
    return loud / 48000.0;
}

}  // namespace

// Without correction a 1 % fast phone adds 10 ms of queue a second until the 200 ms ceiling
// throws whole blocks away, and a slow one empties it. The microphone's own steady 20 ms clock
// (no sound server) stands for the device, so only the phone's clock is off.
TEST(VMicLatency, ClockDriftKeepsTheQueueSmall) {
    qputenv("PULSE_SERVER", (kivotest::scratchDir() + "/no-such-server").toUtf8());
    VMicManage mic;
    if (mic.hasAudioStream()) GTEST_SKIP() << "a playback device is here";
    for (double percent : {1.0, -1.0}) {
        const auto phone = startPhone(&mic, percent, 1e9);
        const auto start = Clock::now();
        int lowest = VMicManage::kFifoBytes;
        while (Clock::now() - start < std::chrono::seconds(15)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(7));
            if (Clock::now() - start < std::chrono::seconds(10)) continue;  // settling
            lowest = std::min(lowest, mic.fifoFill());
        }
        // The queue's floor is its standing delay. Uncorrected, 15 s of drift add 150 ms to it;
        // corrected, it stays near the target (the peaks follow the blocks and the machine's
        // stalls, so they say less).
        EXPECT_LT(lowest, 40 * 96) << percent << " %: the queue grew";
        EXPECT_EQ(mic.droppedBytes(), 0) << percent << " %";
    }
}

// Nobody records while the phone plays a tone for 2 s; a recorder that starts a second after it
// stopped must hear silence, not what waited in the pipe.
TEST(VMicLatency, LateRecorderHearsNoStaleSound) {
    PulseServer server;
    START_PULSE_OR_BAIL(server);
    VMicManage mic;
    installAndOpen(mic);
    if (HasFatalFailure()) return;
    const auto phone = startPhone(&mic, 0, 2.0);
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the recorder comes late on purpose
    Recording rec("KivoMic");
    ASSERT_TRUE(rec.settle(0));
    const std::vector<int16_t> heard = rec.collect(48000);
    EXPECT_LT(loudSeconds(heard), 0.05);
}

// A recorder listening before the phone's sound starts hears all 2 s of it.
TEST(VMicLatency, EarlyRecorderHearsTheWholeFirstSound) {
    PulseServer server;
    START_PULSE_OR_BAIL(server);
    VMicManage mic;
    installAndOpen(mic);
    if (HasFatalFailure()) return;
    Recording rec("KivoMic");
    ASSERT_TRUE(rec.settle(4800));
    const auto phone = startPhone(&mic, 0, 2.0);
    const std::vector<int16_t> heard = rec.collect(3 * 48000);
    EXPECT_GE(loudSeconds(heard), 1.95);
    EXPECT_LE(loudSeconds(heard), 2.05);
}

// The phone connects right after the program started (a phone reconnecting at once does): the
// recorder, started 1 s before the phone's sound, hears all 2 s of it without a hole. The audio
// output stream takes a moment to start running; the device must not wait for it.
TEST(VMicLatency, FirstSoundSoonAfterStartIsWhole) {
    PulseServer server;
    START_PULSE_OR_BAIL(server);
    {  // the driver is in place from an earlier run of the program
        VMicManage earlier;
        QSignalSpy installed(&earlier, &VMicManage::sig_installResult);
        earlier.runAction(VMicManage::kCmdInstall);
        ASSERT_TRUE(installed.wait(5000));
    }
    Recording rec("KivoMic");
    const auto started = Clock::now();
    VMicManage mic;
    QSignalSpy opened(&mic, &VMicManage::sig_openResult);
    mic.setOpen(true);
    ASSERT_TRUE(opened.wait(5000));
    ASSERT_TRUE(opened.at(0).at(0).toBool());
    std::this_thread::sleep_until(started + std::chrono::seconds(1));
    const std::vector<int16_t> heard = [&] {
        const auto phone = startPhone(&mic, 0, 2.0);
        return rec.collect(4 * 48000, 6000);
    }();
    const vmictest::ToneMeasure m = vmictest::measureTone(heard);
    EXPECT_GE(m.seconds, 1.95);
    EXPECT_LE(m.longestGap, 0.010);
}
