// Recorder: pictures and audio through a real recording, read back from the file.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "config/kivocamdata.h"
#include "kivobridge/bridge.h"
#include "mirror/pcmframe.h"
#include "readback.h"
#include "record/pcmclock.h"
#include "record/recorder.h"
#include "record/recordsink.h"
#include "test_env.h"
#include "testmedia.h"

using namespace recordtest;
using namespace std::chrono_literals;
using kivotest::LogWatch;

namespace {

int64_t clockUsec() {
    return bg::CD->utility()->clock();
}

// Limited-range luma of an RGB grey.
double lumaOfGrey(int grey) {
    return 16 + grey * 219.0 / 255.0;
}

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = kivotest::scratchDir() + "/rec-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        QDir().mkpath(dir_);
        KivoCamData::instance()->setSaveDir(dir_);
    }

    // The main window hands over the renderer's read-back, which is bottom-up.
    static void push(Recorder& rec, const QImage& upright, int64_t usec) {
        rec.pushImage(upright.mirrored(false, true), usec);
    }

    // Waits until the muxer has every picture the recorder converted since log began, then
    // finalises and reads back. The muxer's worker repeats its last picture once its queue is
    // empty; a dozen repeats (4 ms each) span a frame interval, so the last picture is in by then.
    Recording finish(Recorder& rec, const LogWatch& log, int pictures) {
        EXPECT_TRUE(log.waitFor("----> in yuv:", pictures));
        EXPECT_TRUE(log.waitFor("复用最后一个画面", log.count("复用最后一个画面") + 12));
        EXPECT_TRUE(rec.stopRecord());
        return readRecording(KivoCamData::instance()->currentRecordFile());
    }

    QString dir_;
};

}  // namespace

// The first picture fixes the size (rounded down to even multiples), and a landscape picture in
// a portrait recording must be turned clockwise, not mirrored or turned the other way; a second
// start while running must leave the running recording alone.
TEST_F(RecorderTest, PortraitRecordingTurnsLandscapeBy90) {
    LogWatch log;
    Recorder rec;
    ASSERT_TRUE(rec.startRecord(QSize(1082, 2340)));
    EXPECT_EQ(rec.recordingSize(), QSize(1080, 2340));
    EXPECT_FALSE(rec.isStopped());
    EXPECT_FALSE(rec.startRecord(QSize(1082, 2340)));
    EXPECT_FALSE(rec.isStopped());

    int64_t t = clockUsec();
    push(rec, greyPicture(1082, 2340, 60), t);
    for (int i = 1; i <= 4; ++i) push(rec, markedPicture(2340, 1080), t + i * 40000);
    const Recording out = finish(rec, log, 5);

    ASSERT_TRUE(out.opened);
    EXPECT_EQ(out.width, 1080);
    EXPECT_EQ(out.height, 2340);
    ASSERT_GE(out.videoFrames, 2);
    EXPECT_NEAR(out.first.mean(0, 0, 1080), lumaOfGrey(60), 6);  // scaled 1082 -> 1080
    const int s = markerSize(2340, 1080);
    EXPECT_NEAR(cornerLuma(out.last, Corner::TopRight, s), kWhiteY, 12);
    EXPECT_NEAR(cornerLuma(out.last, Corner::BottomRight, s), kGreyY, 12);
    EXPECT_NEAR(cornerLuma(out.last, Corner::TopLeft, s), kBlackY, 12);
    EXPECT_NEAR(cornerLuma(out.last, Corner::BottomLeft, s), kBlackY, 12);
    EXPECT_EQ(QDir(dir_).entryList({"*.mp4"}).size(), 1);
}

// A portrait picture in a landscape recording must be turned counter-clockwise (270 degrees).
TEST_F(RecorderTest, LandscapeRecordingTurnsPortraitBy270) {
    LogWatch log;
    Recorder rec;
    ASSERT_TRUE(rec.startRecord(QSize(320, 240)));
    int64_t t = clockUsec();
    push(rec, greyPicture(320, 240, 60), t);
    for (int i = 1; i <= 4; ++i) push(rec, markedPicture(240, 320), t + i * 40000);
    const Recording out = finish(rec, log, 5);

    ASSERT_TRUE(out.opened);
    ASSERT_EQ(out.width, 320);
    ASSERT_EQ(out.height, 240);
    const int s = markerSize(240, 320);
    EXPECT_NEAR(cornerLuma(out.last, Corner::BottomLeft, s), kWhiteY, 12);
    EXPECT_NEAR(cornerLuma(out.last, Corner::TopLeft, s), kGreyY, 12);
    EXPECT_NEAR(cornerLuma(out.last, Corner::TopRight, s), kBlackY, 12);
    EXPECT_NEAR(cornerLuma(out.last, Corner::BottomRight, s), kBlackY, 12);
}

// A square is portrait: a square recording turns landscape pictures by 90 (then scales), and a
// square picture in a landscape recording is turned by 270 (then scaled).
TEST_F(RecorderTest, SquareCountsAsPortrait) {
    {
        LogWatch log;
        Recorder rec;
        ASSERT_TRUE(rec.startRecord(QSize(240, 240)));
        int64_t t = clockUsec();
        for (int i = 0; i < 4; ++i) push(rec, markedPicture(320, 240), t + i * 40000);
        const Recording out = finish(rec, log, 4);
        ASSERT_EQ(out.width, 240);
        ASSERT_EQ(out.height, 240);
        const int s = markerSize(320, 240) * 3 / 4;  // 320 -> 240 after turning
        EXPECT_NEAR(cornerLuma(out.last, Corner::TopRight, s), kWhiteY, 12);
        EXPECT_NEAR(cornerLuma(out.last, Corner::BottomRight, s), kGreyY, 12);
        EXPECT_NEAR(cornerLuma(out.last, Corner::TopLeft, s), kBlackY, 12);
    }
    {
        LogWatch log;
        Recorder rec;
        ASSERT_TRUE(rec.startRecord(QSize(320, 240)));
        int64_t t = clockUsec();
        for (int i = 0; i < 4; ++i) push(rec, markedPicture(240, 240), t + i * 40000);
        const Recording out = finish(rec, log, 4);
        ASSERT_EQ(out.width, 320);
        ASSERT_EQ(out.height, 240);
        const int s = markerSize(240, 240);
        EXPECT_NEAR(cornerLuma(out.last, Corner::BottomLeft, s), kWhiteY, 12);
        EXPECT_NEAR(cornerLuma(out.last, Corner::TopLeft, s), kGreyY, 12);
        EXPECT_NEAR(cornerLuma(out.last, Corner::TopRight, s), kBlackY, 12);
    }
}

// A stalled worker must cost the oldest picture, not memory: with 12 pictures queued, the
// recording starts with the second one.
TEST_F(RecorderTest, TwelfthPicturePushesOutTheOldest) {
    LogWatch log;
    Recorder rec;
    const int64_t t = clockUsec();
    for (int i = 0; i < 12; ++i) push(rec, greyPicture(160, 120, 20 + 20 * i), t + i * 40000);
    EXPECT_EQ(rec.queuedPictures(), Recorder::kMaxQueued);

    ASSERT_TRUE(rec.startRecord(QSize(160, 120)));
    const Recording out = finish(rec, log, Recorder::kMaxQueued);
    ASSERT_TRUE(out.opened);
    ASSERT_GE(out.videoFrames, 1);
    EXPECT_NEAR(out.first.mean(0, 0, 120), lumaOfGrey(40), 5);
    EXPECT_NEAR(out.last.mean(0, 0, 120), lumaOfGrey(240), 5);
}

// Blocks are stamped on the sender's timeline, whatever the network did to them: jitter and a
// late burst keep their places (a burst stamped at its arrival would put the sound behind the
// pictures for the rest of the file), missing sound starts a new line, and a phone clock 1 %
// fast or slow is followed without the delay creeping.
TEST(PcmClockTest, StampsFollowTheSenderNotTheNetwork) {
    constexpr int64_t kBlock = 20000, kDelay = 30000, kJitter = 9000;
    PcmClock clock;
    int64_t sent = 1000000;
    // The stamp's error against the block's own send time plus the network's least delay.
    auto error = [&](int64_t extraDelay) {
        const int64_t at = clock.stamp(sent + kDelay + extraDelay, kBlock);
        const int64_t wrong = at - (sent + kDelay);
        sent += kBlock;
        return wrong;
    };
    EXPECT_EQ(error(0), 0);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(error((i * 7919) % kJitter), 0) << "jitter " << i;

    const int64_t stalledFrom = sent;
    for (int i = 0; i < 8; ++i) {  // a 150 ms stall, then everything at once
        EXPECT_EQ(error(stalledFrom + 150000 - sent), 0) << "burst " << i;
    }
    for (int i = 0; i < 20; ++i) EXPECT_EQ(error(0), 0) << "after the burst " << i;

    sent += 1000000;  // a second of sound that never came starts a new line
    EXPECT_EQ(error(0), 0);

    // A minute from a phone whose clock runs 1 % fast, then one 1 % slow: the stamps stay
    // within the jitter plus the drift over the look-back window.
    for (double rate : {1.01, 0.99}) {
        const int64_t sentBase = sent, arrivalBase = sent + kDelay;
        int64_t worst = 0;
        for (int i = 0; i < 3000; ++i) {
            const int64_t arrival =
                arrivalBase + static_cast<int64_t>((sent - sentBase) / rate) + (i * 7919) % kJitter;
            worst = std::max(worst, std::abs(arrival - clock.stamp(arrival, kBlock)));
            sent += kBlock;
        }
        EXPECT_LE(worst, kJitter + PcmClock::kWindowUs / 100) << rate;
    }
}

// The first block is stamped with the clock, later ones on the same line; the blocks reach the
// file as a stereo 44.1 kHz track.
TEST_F(RecorderTest, AudioReachesTheFile) {
    LogWatch log;
    Recorder rec;
    ASSERT_TRUE(rec.startRecord(QSize(160, 120)));
    std::vector<uint8_t> samples(4096, 0);
    auto block = [&] {
        return std::make_shared<PcmFrame>(samples.data(), 4096, 44100, 2, 16, nullptr);
    };
    constexpr int64_t kBlock = 23219;  // 4096 bytes of 44.1 kHz stereo 16-bit

    push(rec, greyPicture(160, 120, 100), clockUsec());
    const int64_t before = clockUsec();
    rec.pushPcm(block());
    EXPECT_GE(rec.audioCursor() - kBlock, before);
    EXPECT_LE(rec.audioCursor() - kBlock, clockUsec());

    // Keep pictures coming for a while so the muxer interleaves the audio.
    for (int i = 0; i < 10; ++i) {
        push(rec, greyPicture(160, 120, 100), clockUsec());
        rec.pushPcm(block());
        std::this_thread::sleep_for(25ms);  // pictures and sound at their pace
    }
    const Recording out = finish(rec, log, 11);
    ASSERT_TRUE(out.opened);
    EXPECT_EQ(out.sampleRate, 44100);
    EXPECT_EQ(out.channels, 2);
    EXPECT_GE(out.audioSamples, 1024);
}

// Malformed audio blocks are dropped, not divided by zero.
TEST_F(RecorderTest, MalformedAudioIsIgnored) {
    Recorder rec;
    uint8_t data[16] = {};
    rec.pushPcm(nullptr);
    rec.pushPcm(std::make_shared<PcmFrame>(data, 16, 0, 2, 16, nullptr));
    rec.pushPcm(std::make_shared<PcmFrame>(data, 16, 44100, 0, 16, nullptr));
    rec.pushPcm(std::make_shared<PcmFrame>(data, 16, 44100, 2, 4, nullptr));
    EXPECT_EQ(rec.audioCursor(), 0);
}

// Stopping a recorder ends only the recording it started: an old recorder stopped and destroyed
// after a newer one started must not finalise the newer file, whose later pictures would be lost.
TEST_F(RecorderTest, OldRecorderLeavesNewerRecordingAlone) {
    auto old = std::make_unique<Recorder>();
    ASSERT_TRUE(old->startRecord(QSize(160, 120)));
    LogWatch log;
    Recorder rec;
    ASSERT_TRUE(rec.startRecord(QSize(160, 120)));  // finalises the old file
    EXPECT_TRUE(old->stopRecord());                 // the outcome of its own file
    old.reset();
    const int64_t t = clockUsec();
    for (int i = 0; i < 5; ++i) push(rec, greyPicture(160, 120, 40 + 40 * i), t + i * 40000);
    const Recording out = finish(rec, log, 5);
    ASSERT_TRUE(out.opened);
    EXPECT_NEAR(out.first.mean(0, 0, 120), lumaOfGrey(40), 5);
    EXPECT_NEAR(out.last.mean(0, 0, 120), lumaOfGrey(200), 5);
}
