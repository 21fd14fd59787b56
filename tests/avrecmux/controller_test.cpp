// AVMuxerController end to end: the state machine, the worker's interleaving, silence filling and
// picture repetition, in threaded and direct mode, checked on the files written.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>

#include "avrecmux/avmuxercontroller.h"
#include "mediaprobe.h"
#include "testmedia.h"

using kivo::muxer::AVMuxerController;
using kivo::muxer::MVSettings;
using kivotest::I420Picture;
using kivotest::LogWatch;
using std::chrono::milliseconds;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

constexpr int kW = 320;
constexpr int kH = 240;

MVSettings settingsFor(const std::string& path) {
    MVSettings s;
    s.input_pixel_format = 0;
    s.width = kW;
    s.height = kH;
    s.video_bitrate_kbps = 400;
    s.file_name = path.c_str();
    return s;
}

int writePicture(AVMuxerController& c, const I420Picture& p, int64_t usec) {
    return c.write_yuv420(p.bytes.data(), p.size(), p.width, p.height, p.pitch, p.dlen, usec);
}

int writeAudio(AVMuxerController& c, const std::vector<uint8_t>& pcm, int64_t usec) {
    return c.write_pcm(pcm.data(), int(pcm.size()), 44100, 2, 16, usec);
}

// Index of the first sample louder than a quiet threshold, or -1.
long firstLoudSample(const std::vector<float>& s) {
    for (size_t i = 0; i < s.size(); ++i)
        if (std::fabs(s[i]) > 0.05f) return long(i);
    return -1;
}

// Waits until the worker has taken every queued picture and submitted the last one (stop()
// drops whatever still waits): with its queue empty it repeats the held picture, whose time grows
// 4 ms per empty wait, so a dozen repeats span more than a frame interval.
void waitWorkerIdle(const LogWatch& log) {
    const int before = log.count("复用最后一个画面");
    ASSERT_TRUE(log.waitFor("复用最后一个画面", before + 12));
}

class ControllerModes : public testing::TestWithParam<bool> {};

}  // namespace

// Calls out of order must be refused with their result codes and messages, and a stopped
// controller must record again into a new file.
TEST_P(ControllerModes, AvrecmuxStateMachine) {
    const bool threaded = GetParam();
    AVMuxerController c;
    auto pic = kivotest::makePicture(kW, kH, 90);
    auto pcm = kivotest::makeTone(1024, 44100, 440);
    LogWatch log;

    EXPECT_EQ(-2, writePicture(c, pic, 0));
    EXPECT_EQ(-2, writeAudio(c, pcm, 0));
    EXPECT_TRUE(log.contains("--- 还没有启动编码器，请先调用 start()"));

    const std::string first = kivotest::scratchFile("first.mp4");
    MVSettings s = settingsFor(first);
    ASSERT_TRUE(c.start(&s, threaded));
    EXPECT_TRUE(log.contains("--- 开始录制 ---"));
    EXPECT_FALSE(c.start(&s, threaded));
    EXPECT_TRUE(log.contains("---> 编码器已经开始了，请先调用 stop() 停止"));
    EXPECT_EQ(0, writePicture(c, pic, 0));
    EXPECT_EQ(0, writeAudio(c, pcm, 0));
    if (threaded) waitWorkerIdle(log);
    EXPECT_TRUE(c.stop());
    EXPECT_TRUE(log.contains("--- 停止录制 ---"));
    EXPECT_FALSE(c.stop());
    EXPECT_TRUE(log.contains("---> 已经停止了"));
    EXPECT_EQ(-1, writePicture(c, pic, 0));
    EXPECT_EQ(-1, writeAudio(c, pcm, 0));
    EXPECT_TRUE(log.contains("--- 正在停止编码，abort==true"));

    const std::string second = kivotest::scratchFile("second.mp4");
    MVSettings s2 = settingsFor(second);
    ASSERT_TRUE(c.start(&s2, threaded));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(0, writePicture(c, pic, int64_t(i) * 40000));
    if (threaded) waitWorkerIdle(log);
    c.stop();

    for (const std::string& path : {first, second}) {
        kivotest::FileProbe probe = kivotest::probeFile(path);
        ASSERT_TRUE(probe.ok) << path;
        const kivotest::StreamProbe* v = probe.find("video");
        ASSERT_TRUE(v);
        EXPECT_GE(v->pts.size(), 1u);
        EXPECT_NEAR(0.0, v->startSeconds(), 1e-6);
    }
    EXPECT_GE(kivotest::probeFile(second).find("video")->pts.size(), 5u);
}

// A muxer that cannot start must make start() return false without ending the process; writes
// are then refused at once (no queue growing without a consumer), and after stop() the
// controller records normally.
TEST_P(ControllerModes, AvrecmuxFailedStart) {
    const bool threaded = GetParam();
    AVMuxerController c;
    const std::string bad = kivotest::scratchFile("clip.notacontainer");
    MVSettings s = settingsFor(bad);
    CaptureStderr();
    EXPECT_FALSE(c.start(&s, threaded));
    EXPECT_NE(std::string::npos, GetCapturedStderr().find("Could not find suitable output format"));

    auto pic = kivotest::makePicture(kW, kH, 90);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) EXPECT_EQ(-1, writePicture(c, pic, int64_t(i) * 40000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(1000));
    EXPECT_FALSE(c.start(&s, threaded));  // still holds the failed muxer until stop()
    EXPECT_FALSE(c.stop());

    const std::string good = kivotest::scratchFile("recovered.mp4");
    MVSettings ok = settingsFor(good);
    ASSERT_TRUE(c.start(&ok, threaded));
    LogWatch log;
    EXPECT_EQ(0, writePicture(c, pic, 0));
    if (threaded) waitWorkerIdle(log);
    c.stop();
    EXPECT_TRUE(kivotest::probeFile(good).ok);
}

// Pictures faster than the frame rate: the file gets one picture per interval, never two
// pictures on one frame time.
TEST_P(ControllerModes, AvrecmuxPicturesFasterThanFrameRate) {
    const bool threaded = GetParam();
    const std::string path = kivotest::scratchFile("fast.mp4");
    MVSettings s = settingsFor(path);
    s.disable_audio = true;
    AVMuxerController c;
    ASSERT_TRUE(c.start(&s, threaded));
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) {
        auto pic = kivotest::makePicture(kW, kH, uint8_t(20 + 2 * i));
        std::this_thread::sleep_until(begin + milliseconds(10 * i));  // 100 pictures a second
        EXPECT_EQ(0, writePicture(c, pic, int64_t(i) * 10000));
    }
    c.stop();
    kivotest::FileProbe probe = kivotest::probeFile(path);
    const kivotest::StreamProbe* v = probe.find("video");
    ASSERT_TRUE(v);
    for (size_t i = 1; i < v->pts.size(); ++i) ASSERT_GT(v->pts[i], v->pts[i - 1]);
    if (threaded) {
        EXPECT_GE(v->pts.size(), 15u);
        EXPECT_LE(v->pts.size(), 27u);
    } else {
        // 100 pictures over 0.99 s map onto frame times 0..25.
        EXPECT_EQ(26u, v->pts.size());
    }
}

INSTANTIATE_TEST_SUITE_P(Avrecmux, ControllerModes, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "Threaded" : "Direct";
                         });

// Every picture must enter the file at its own time: submitting a picture with the previous
// submission's time drops the second picture and shifts the video one interval early.
TEST(AvrecmuxWorker, PicturesKeepTheirOwnTimes) {
    const std::string path = kivotest::scratchFile("own_times.mp4");
    MVSettings s = settingsFor(path);
    s.disable_audio = true;
    AVMuxerController c;
    ASSERT_TRUE(c.start(&s, true));
    LogWatch log;
    const uint8_t lumas[3] = {40, 120, 200};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(0, writePicture(c, kivotest::makePicture(kW, kH, lumas[i]), i * 40000));
    waitWorkerIdle(log);
    c.stop();
    auto pictures = kivotest::decodeVideo(path);
    ASSERT_GE(pictures.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(i * 0.04, pictures[i].seconds, 1e-3) << i;
        EXPECT_NEAR(lumas[i], pictures[i].lumaMean, 3) << i;
    }
    // What follows are repeats of the last picture.
    for (size_t i = 3; i < pictures.size(); ++i) EXPECT_NEAR(200, pictures[i].lumaMean, 3);
}

// A stalled picture source: the last picture is repeated once per frame interval, so the video
// track keeps running at the frame rate.
TEST(AvrecmuxWorker, StalledSourceRepeatsLastPicture) {
    const std::string path = kivotest::scratchFile("stall.mp4");
    MVSettings s = settingsFor(path);
    s.disable_audio = true;
    AVMuxerController c;
    ASSERT_TRUE(c.start(&s, true));
    LogWatch log;
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(0, writePicture(c, kivotest::makePicture(kW, kH, 150), 0));
    ASSERT_TRUE(log.waitFor("---> yuv.pts = 20 "));
    // Repeats follow the clock: twenty intervals never pass faster than real time.
    EXPECT_GE(std::chrono::steady_clock::now() - begin, milliseconds(20 * 40 - 20));
    c.stop();
    EXPECT_TRUE(log.contains("复用最后一个画面:  pts="));
    kivotest::FileProbe probe = kivotest::probeFile(path);
    const kivotest::StreamProbe* v = probe.find("video");
    ASSERT_TRUE(v);
    EXPECT_GE(v->pts.size(), 21u);
    const int64_t frame = v->tb_den / v->tb_num / 25;
    for (size_t i = 1; i < v->pts.size(); ++i) EXPECT_EQ(frame, v->pts[i] - v->pts[i - 1]) << i;
}

// No audio at all while pictures flow: the audio track is filled with 40 ms silent chunks of
// 7056 bytes and keeps pace with the video.
TEST(AvrecmuxWorker, MissingAudioBecomesSilence) {
    const std::string path = kivotest::scratchFile("no_audio.mp4");
    MVSettings s = settingsFor(path);
    AVMuxerController c;
    ASSERT_TRUE(c.start(&s, true));
    LogWatch log;
    for (int i = 0; i < 25; ++i)
        ASSERT_EQ(0, writePicture(c, kivotest::makePicture(kW, kH, 100), int64_t(i) * 40000));
    waitWorkerIdle(log);
    c.stop();
    EXPECT_TRUE(log.contains("填充静音包:  pts=0, 填充(40000)微秒, (7056)bytes"));
    kivotest::FileProbe probe = kivotest::probeFile(path);
    const kivotest::StreamProbe* v = probe.find("video");
    const kivotest::StreamProbe* a = probe.find("audio");
    ASSERT_TRUE(v && a);
    EXPECT_GE(v->endSeconds(), 1.0);
    // Silence trails the pictures by up to one interval, the picture last repeated before stop
    // adds one, the last partial AAC frame is dropped, and a busy machine can let the worker
    // repeat once more between the final write and stop.
    EXPECT_NEAR(v->endSeconds(), a->endSeconds(), 0.15);
    std::vector<float> decoded = kivotest::decodeAudio(path);
    ASSERT_FALSE(decoded.empty());
    EXPECT_EQ(-1, firstLoudSample(decoded));
}

// Pictures from time 0 and a first audio chunk stamped 100 ms: the track starts with 100 ms of
// silence, then the sound at its own time.
TEST(AvrecmuxWorker, LateFirstAudioIsPrecededBySilence) {
    const std::string path = kivotest::scratchFile("late_audio.mp4");
    MVSettings s = settingsFor(path);
    AVMuxerController c;
    ASSERT_TRUE(c.start(&s, true));
    LogWatch log;
    const int chunk = 882;  // 20 ms
    int64_t next_audio = 100000;
    for (int i = 0; i < 25; ++i) {
        const int64_t t = int64_t(i) * 40000;
        ASSERT_EQ(0, writePicture(c, kivotest::makePicture(kW, kH, 100), t));
        while (next_audio < t + 40000) {
            auto pcm = kivotest::makeTone(chunk, 44100, 440, next_audio * 441 / 10000);
            ASSERT_EQ(0, writeAudio(c, pcm, next_audio));
            next_audio += 20000;
        }
    }
    waitWorkerIdle(log);
    c.stop();
    int rate = 0;
    std::vector<float> decoded = kivotest::decodeAudio(path, &rate);
    ASSERT_EQ(44100, rate);
    const long onset = firstLoudSample(decoded);
    // 4410 samples of silence, plus the encoder's 1024 samples of priming.
    EXPECT_NEAR(4410 + 1024, onset, 64);
}

// Sound that arrives after its span was already filled with silence must not be written on top
// of that silence: the track would grow by the late span and every later sound would play
// behind its picture.
TEST(AvrecmuxWorker, LateSoundDoesNotShiftTheTrack) {
    const std::string path = kivotest::scratchFile("late_sound.mp4");
    MVSettings s = settingsFor(path);
    AVMuxerController c;
    ASSERT_TRUE(c.start(&s, true));
    LogWatch log;
    for (int i = 0; i < 25; ++i)
        ASSERT_EQ(0, writePicture(c, kivotest::makePicture(kW, kH, 100), int64_t(i) * 40000));
    // The worker fills the first second with silence, up to an interval behind the pictures.
    ASSERT_TRUE(log.waitFor("填充静音包:  pts=880000,"));
    for (int64_t t = 0; t < 2000000; t += 20000) {
        if (t >= 1000000 && t % 40000 == 0) {
            ASSERT_EQ(0, writePicture(c, kivotest::makePicture(kW, kH, 100), t));
        }
        auto pcm = kivotest::makeTone(882, 44100, t >= 1500000 ? 440 : 0, t * 441 / 10000);
        ASSERT_EQ(0, writeAudio(c, pcm, t));
    }
    waitWorkerIdle(log);
    c.stop();
    int rate = 0;
    std::vector<float> decoded = kivotest::decodeAudio(path, &rate);
    ASSERT_EQ(44100, rate);
    const long onset = firstLoudSample(decoded);
    ASSERT_GE(onset, 0);
    EXPECT_NEAR(1.5, double(onset - 1024) / rate, 0.04);
}

// Sound reaches the controller before the pictures (they pass through the recorder's
// conversion), so the first audio chunk is often stamped after the first picture. The pictures
// stamped before time zero must neither shift the video nor be lost: the file starts at 0 and
// keeps every picture. Direct mode, so only the time stamping decides which pictures stay.
TEST(AvrecmuxController, PicturesStampedBeforeFirstAudioAreKept) {
    const std::string path = kivotest::scratchFile("audio_first.mp4");
    MVSettings s = settingsFor(path);
    AVMuxerController c;
    ASSERT_TRUE(c.start(&s, false));
    constexpr int kPictures = 50;
    ASSERT_EQ(0, writeAudio(c, kivotest::makeTone(1024, 44100, 0), 20000));
    // The pictures, stamped from 0, come 120 ms after the sound.
    std::this_thread::sleep_for(milliseconds(120));
    for (int i = 0; i < kPictures; ++i) {
        ASSERT_GE(
            writePicture(c, kivotest::makePicture(kW, kH, uint8_t(20 + 4 * i)), int64_t(i) * 40000),
            0);
    }
    ASSERT_TRUE(c.stop());

    auto pictures = kivotest::decodeVideo(path);
    ASSERT_FALSE(pictures.empty());
    EXPECT_NEAR(0.0, pictures[0].seconds, 1e-6);
    std::string lost;
    for (int i = 0; i < kPictures; ++i) {
        bool found = false;
        for (const auto& p : pictures) found = found || std::fabs(p.lumaMean - (20 + 4 * i)) < 1.5;
        if (!found) lost += " " + std::to_string(i);
    }
    EXPECT_EQ("", lost) << "pictures lost";
}

// Copies share one recording; the last one to go ends it (no double free, no lost file).
TEST(AvrecmuxController, CopiesShareOneRecording) {
    const std::string path = kivotest::scratchFile("copies.mp4");
    MVSettings s = settingsFor(path);
    auto original = std::make_unique<AVMuxerController>();
    ASSERT_TRUE(original->start(&s, true));
    AVMuxerController copy(*original);
    AVMuxerController assigned;
    assigned = copy;
    assigned = assigned;
    original.reset();
    LogWatch log;
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(0, writePicture(copy, kivotest::makePicture(kW, kH, 100), int64_t(i) * 40000));
    waitWorkerIdle(log);
    assigned.stop();
    EXPECT_EQ(-1, writePicture(copy, kivotest::makePicture(kW, kH, 100), 0));
    kivotest::FileProbe probe = kivotest::probeFile(path);
    ASSERT_TRUE(probe.ok);
    EXPECT_GE(probe.find("video")->pts.size(), 5u);
}

// Audio-only recording in threaded mode: every chunk must be written, not just the first.
TEST(AvrecmuxController, AudioOnlyRecording) {
    const std::string path = kivotest::scratchFile("audio_only.mp4");
    MVSettings s = settingsFor(path);
    s.disable_video = true;
    AVMuxerController c;
    ASSERT_TRUE(c.start(&s, true));
    LogWatch log;
    for (int i = 0; i < 50; ++i) {
        auto pcm = kivotest::makeTone(882, 44100, 440, int64_t(i) * 882);
        ASSERT_EQ(0, writeAudio(c, pcm, int64_t(i) * 20000));
    }
    // The muxer has taken the last chunk (980 ms = 43218 samples).
    ASSERT_TRUE(log.waitFor("---> pcm.pts = 43218 "));
    c.stop();
    kivotest::FileProbe probe = kivotest::probeFile(path);
    ASSERT_EQ(1u, probe.streams.size());
    const kivotest::StreamProbe* a = probe.find("audio");
    ASSERT_TRUE(a);
    EXPECT_NEAR(1.0, a->endSeconds(), 0.05);
}

// Ten seconds written from two threads (faster than real time, explicit times): a flash and a
// beep captured at the same moment near the end land within one frame interval of each other,
// and both tracks end together. Guards against silence filled for late sound being written
// again with the sound itself, which pushes every later sound behind its picture.
TEST(AvrecmuxController, TwoThreadsStayInSync) {
    const std::string path = kivotest::scratchFile("sync.mp4");
    MVSettings s = settingsFor(path);
    AVMuxerController c;
    ASSERT_TRUE(c.start(&s, true));
    LogWatch log;
    const int64_t mark = 9000000;  // flash and beep
    const int64_t total = 10000000;

    // Paced against one clock at four times real time; the sound runs 100 ms of capture time
    // ahead of the pictures, as it does in the program (pictures pass through the decoder).
    const auto begin = std::chrono::steady_clock::now();
    auto at = [&](int64_t capture_us) {
        std::this_thread::sleep_until(begin + std::chrono::microseconds(capture_us / 4));
    };
    std::thread pictures([&] {
        for (int64_t t = 0; t < total; t += 40000) {
            auto pic = kivotest::makePicture(kW, kH, t >= mark ? 220 : 30, unsigned(t), 10);
            at(t + 100000);
            EXPECT_EQ(0, writePicture(c, pic, t));
        }
    });
    std::thread audio([&] {
        for (int64_t t = 0; t < total; t += 20000) {
            auto pcm = kivotest::makeTone(882, 44100, t >= mark ? 440 : 0, t * 441 / 10000);
            at(t);
            EXPECT_EQ(0, writeAudio(c, pcm, t));
        }
    });
    pictures.join();
    audio.join();
    waitWorkerIdle(log);
    c.stop();

    auto decodedPictures = kivotest::decodeVideo(path);
    double flash = -1;
    for (const auto& p : decodedPictures) {
        if (p.lumaMean > 125) {
            flash = p.seconds;
            break;
        }
    }
    int rate = 0;
    std::vector<float> sound = kivotest::decodeAudio(path, &rate);
    ASSERT_EQ(44100, rate);
    const long onset = firstLoudSample(sound);
    ASSERT_GE(flash, 0);
    ASSERT_GE(onset, 0);
    const double beep = double(onset - 1024) / rate;  // minus the encoder's priming
    EXPECT_NEAR(9.0, flash, 0.04);
    EXPECT_NEAR(flash, beep, 0.04);

    kivotest::FileProbe probe = kivotest::probeFile(path);
    const kivotest::StreamProbe* v = probe.find("video");
    const kivotest::StreamProbe* a = probe.find("audio");
    ASSERT_TRUE(v && a);
    EXPECT_GE(v->endSeconds(), 9.9);
    // Sound is written up to within an interval of the last picture's time, but stop() may come
    // just after a picture step advanced it once more; the FIFO's partial AAC frame is dropped.
    const double last_picture = v->endSeconds() - 0.04;
    EXPECT_NEAR(last_picture, a->endSeconds(), 2 * 0.04 + 1024.0 / 44100);
}
