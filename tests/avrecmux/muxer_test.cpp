// AVMuxer on its own: real H.264/AAC encodes into real files, read back with libavformat.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "avrecmux/avmuxer.h"
#include "mediaprobe.h"
#include "testmedia.h"

using kivo::muxer::AVMuxer;
using kivo::muxer::MVSettings;
using kivotest::LogWatch;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

MVSettings smallSettings(const std::string& path) {
    MVSettings s;
    s.input_pixel_format = 0;  // I420
    s.width = 320;
    s.height = 240;
    s.video_bitrate_kbps = 600;
    s.frame_rate = 25;
    s.gop_size = 25;
    s.audio_bitrate_kbps = 96;
    s.file_name = path.c_str();
    s.metadata = nullptr;
    return s;
}

int writePicture(AVMuxer& m, const kivotest::I420Picture& p, int64_t usec) {
    return m.write_yuv420(p.bytes.data(), p.size(), p.width, p.height, p.pitch, p.dlen, usec);
}

}  // namespace

// The file must carry exactly one H.264 and one AAC stream with the settings' size, rate and bit
// rates, the metadata tags, a duration matching the material, and the audio timeline counted in
// encoded samples (0, 1024, 2048 ... at 1/44100) whatever times the chunks carried.
TEST(AvrecmuxMuxer, WritesMp4MatchingSettings) {
    const std::string path = kivotest::scratchFile("settings.mp4");
    MVSettings s = smallSettings(path);
    s.metadata = "title:T1;comment:made by tests;bogus;artist:A:B";
    AVMuxer m;
    ASSERT_TRUE(m.start(&s));

    const int seconds = 4;
    int64_t audio_samples = 0;
    for (int i = 0; i < seconds * 25; ++i) {
        auto pic = kivotest::makePicture(320, 240, uint8_t(60 + i), unsigned(i), 40);
        ASSERT_EQ(0, writePicture(m, pic, int64_t(i) * 40000));
        // 1764 samples per picture interval, stamped with a deliberately jittery clock.
        auto pcm = kivotest::makeTone(1764, 44100, 440, audio_samples);
        ASSERT_EQ(0, m.write_pcm(pcm.data(), int(pcm.size()), 44100, 2, 16,
                                 int64_t(i) * 40000 + (i % 3) * 7000));
        audio_samples += 1764;
    }
    m.stop();

    kivotest::FileProbe probe = kivotest::probeFile(path);
    ASSERT_TRUE(probe.ok);
    EXPECT_NE(std::string::npos, probe.format.find("mp4"));
    ASSERT_EQ(2u, probe.streams.size());
    const kivotest::StreamProbe* v = probe.find("video");
    const kivotest::StreamProbe* a = probe.find("audio");
    ASSERT_TRUE(v && a);
    EXPECT_EQ("h264", v->codec);
    EXPECT_EQ(320, v->width);
    EXPECT_EQ(240, v->height);
    EXPECT_NEAR(25.0, v->avg_frame_rate, 0.01);
    EXPECT_EQ(size_t(seconds * 25), v->pts.size());
    EXPECT_EQ("aac", a->codec);
    EXPECT_EQ(44100, a->sample_rate);
    EXPECT_EQ(2, a->channels);
    EXPECT_EQ(1, a->tb_num);
    EXPECT_EQ(44100, a->tb_den);
    for (size_t i = 0; i < a->pts.size(); ++i) ASSERT_EQ(int64_t(i) * 1024, a->pts[i]) << i;

    EXPECT_NEAR(seconds, v->endSeconds(), seconds * 0.05);
    EXPECT_NEAR(seconds, a->endSeconds(), seconds * 0.05);
    EXPECT_NEAR(seconds, probe.duration, seconds * 0.05);  // known without reading every packet
    const double video_kbps = v->bytes * 8.0 / v->endSeconds() / 1000;
    const double audio_kbps = a->bytes * 8.0 / a->endSeconds() / 1000;
    EXPECT_GT(video_kbps, 600 * 0.5);
    EXPECT_LT(video_kbps, 600 * 1.5);
    EXPECT_GT(audio_kbps, 96 * 0.5);
    EXPECT_LT(audio_kbps, 96 * 1.5);

    EXPECT_EQ("T1", probe.tags["title"]);
    EXPECT_EQ("made by tests", probe.tags["comment"]);
    EXPECT_EQ("A:B", probe.tags["artist"]);

    // The tone survives the encode: the decoded track is loud where the input was.
    std::vector<float> decoded = kivotest::decodeAudio(path);
    ASSERT_GT(decoded.size(), size_t(44100));
    double energy = 0;
    for (size_t i = 22050; i < 44100; ++i) energy += decoded[i] * decoded[i];
    EXPECT_NEAR(0.125, energy / 22050, 0.03);  // sine of amplitude 0.5
}

// A picture whose time maps to the pts of the last one is dropped (and logged); the next newer
// one is encoded.
TEST(AvrecmuxMuxer, DropsPicturesThatAreNotNewer) {
    const std::string path = kivotest::scratchFile("dup.mp4");
    MVSettings s = smallSettings(path);
    s.disable_audio = true;
    AVMuxer m;
    ASSERT_TRUE(m.start(&s));
    auto pic = kivotest::makePicture(320, 240, 100);
    LogWatch log;
    EXPECT_EQ(0, writePicture(m, pic, 0));
    EXPECT_EQ(0, writePicture(m, pic, 20000));  // half a frame: rounds up to pts 1
    EXPECT_EQ(0, writePicture(m, pic, 10000));
    EXPECT_EQ(0, writePicture(m, pic, 80000));
    m.stop();
    EXPECT_TRUE(log.contains("丢弃重复画面帧, pts: last=1, this=0"));
    kivotest::FileProbe probe = kivotest::probeFile(path);
    ASSERT_TRUE(probe.ok);
    ASSERT_EQ(1u, probe.streams.size());
    const kivotest::StreamProbe* v = probe.find("video");
    ASSERT_TRUE(v);
    // 20000 us is half a frame and rounds up to pts 1; 10000 is then older and dropped.
    EXPECT_EQ(3u, v->pts.size());
}

// Failures to start must be reported by false with FFmpeg's reason, never end the process, and
// leave the muxer stopped (writes refused with -1).
TEST(AvrecmuxMuxer, StartFailuresReturnFalse) {
    AVMuxer m;
    EXPECT_FALSE(m.start(nullptr));

    std::string unknown = kivotest::scratchFile("clip.unknownext");
    MVSettings s = smallSettings(unknown);
    CaptureStderr();
    EXPECT_FALSE(m.start(&s));
    EXPECT_NE(std::string::npos, GetCapturedStderr().find("Could not find suitable output format"));

    std::string missing = kivotest::scratchFile("no/such/dir/clip.mp4");
    s.file_name = missing.c_str();
    CaptureStderr();
    EXPECT_FALSE(m.start(&s));
    EXPECT_NE(std::string::npos, GetCapturedStderr().find("Could not open '" + missing +
                                                          "': No such file or directory"));

    s.frame_rate = 0;  // would divide by zero in the encoder set-up
    EXPECT_FALSE(m.start(&s));

    LogWatch log;
    auto pic = kivotest::makePicture(320, 240, 100);
    EXPECT_EQ(-1, writePicture(m, pic, 0));
    auto pcm = kivotest::makeTone(1024, 44100, 440);
    EXPECT_EQ(-1, m.write_pcm(pcm.data(), int(pcm.size()), 44100, 2, 16, 0));
    EXPECT_TRUE(log.contains("--编码器未初始化--(yuv)"));
    EXPECT_TRUE(log.contains("--编码器未初始化--(pcm)"));
    EXPECT_FALSE(m.stop());  // nothing was recording

    // The same muxer still records after the failures.
    std::string good = kivotest::scratchFile("after_failure.mp4");
    MVSettings ok = smallSettings(good);
    ASSERT_TRUE(m.start(&ok));
    EXPECT_EQ(0, writePicture(m, pic, 0));
    EXPECT_TRUE(m.stop());
    EXPECT_FALSE(m.stop());  // a second stop does nothing
    EXPECT_TRUE(kivotest::probeFile(good).ok);
}

// Bad input must be refused with a log line instead of reading past the caller's buffer or
// dividing by zero; 8-bit and float PCM are described correctly.
TEST(AvrecmuxMuxer, RefusesMalformedInput) {
    const std::string path = kivotest::scratchFile("malformed.mp4");
    MVSettings s = smallSettings(path);
    AVMuxer m;
    ASSERT_TRUE(m.start(&s));
    LogWatch log;
    auto pcm = kivotest::makeTone(1024, 44100, 440);
    const int n = int(pcm.size());
    EXPECT_EQ(-2, m.write_pcm(pcm.data(), n, 44100, 2, 7, 0));
    EXPECT_TRUE(log.contains("--- 音频样本 bitsPerSample 不能小于8"));
    EXPECT_EQ(-3, m.write_pcm(pcm.data(), n, 44100, 0, 16, 0));
    EXPECT_EQ(-3, m.write_pcm(pcm.data(), n, 0, 2, 16, 0));
    EXPECT_EQ(-3, m.write_pcm(pcm.data(), n, 44100, 2, 24, 0));
    EXPECT_EQ(-3, m.write_pcm(nullptr, n, 44100, 2, 16, 0));
    std::vector<uint8_t> u8(2048, 128);
    EXPECT_EQ(0, m.write_pcm(u8.data(), int(u8.size()), 44100, 2, 8, 0));
    std::vector<float> flt(2048, 0.25f);
    EXPECT_EQ(0, m.write_pcm(reinterpret_cast<uint8_t*>(flt.data()), int(flt.size() * 4), 44100, 2,
                             32, 0));

    auto pic = kivotest::makePicture(320, 240, 100);
    uint32_t dlen[3] = {pic.dlen[0], pic.dlen[1], pic.dlen[2] + 1};  // one byte beyond size
    EXPECT_EQ(-3, m.write_yuv420(pic.bytes.data(), pic.size(), 320, 240, pic.pitch, dlen, 0));
    uint32_t pitch[3] = {100, pic.pitch[1], pic.pitch[2]};  // narrower than the width
    EXPECT_EQ(-3, m.write_yuv420(pic.bytes.data(), pic.size(), 320, 240, pitch, pic.dlen, 0));
    EXPECT_EQ(-3, m.write_yuv420(pic.bytes.data(), pic.size(), 640, 480, pic.pitch, pic.dlen, 0));
    EXPECT_EQ(-3, m.write_yuv420(nullptr, pic.size(), 320, 240, pic.pitch, pic.dlen, 0));
    // A smaller picture is scaled up to the settings' size.
    auto small = kivotest::makePicture(160, 120, 200);
    EXPECT_EQ(0, writePicture(m, small, 0));
    m.stop();

    kivotest::FileProbe probe = kivotest::probeFile(path);
    const kivotest::StreamProbe* v = probe.find("video");
    ASSERT_TRUE(v);
    EXPECT_EQ(1u, v->pts.size());
    auto pictures = kivotest::decodeVideo(path);
    ASSERT_EQ(1u, pictures.size());
    EXPECT_NEAR(200, pictures[0].lumaMean, 3);
}

// The default input format is RGBA: pictures are converted to the encoder's I420.
TEST(AvrecmuxMuxer, ConvertsRgbaInput) {
    const std::string path = kivotest::scratchFile("rgba.mp4");
    MVSettings s = smallSettings(path);
    s.input_pixel_format = 26;  // RGBA
    s.disable_audio = true;
    AVMuxer m;
    ASSERT_TRUE(m.start(&s));
    std::vector<uint8_t> rgba(320 * 240 * 4, 255);  // white
    const uint32_t pitch[3] = {320 * 4, 0, 0};
    const uint32_t dlen[3] = {uint32_t(rgba.size()), 0, 0};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(0, m.write_yuv420(rgba.data(), int(rgba.size()), 320, 240, pitch, dlen,
                                    int64_t(i) * 40000));
    m.stop();
    auto pictures = kivotest::decodeVideo(path);
    ASSERT_EQ(5u, pictures.size());
    EXPECT_GT(pictures[4].lumaMean, 230);
    EXPECT_NEAR(0.16, pictures[4].seconds, 0.001);
}

// Pictures that start after the sound keep their place in the file, so sound and picture stay
// in sync: the fragmented layout must not move a late stream to time 0.
TEST(AvrecmuxMuxer, LateFirstPictureKeepsItsTime) {
    const std::string path = kivotest::scratchFile("late_picture.mp4");
    MVSettings s = smallSettings(path);
    AVMuxer m;
    ASSERT_TRUE(m.start(&s));
    for (int i = 0; i < 50; ++i) {
        auto pcm = kivotest::makeTone(882, 44100, 440, int64_t(i) * 882);
        ASSERT_EQ(0, m.write_pcm(pcm.data(), int(pcm.size()), 44100, 2, 16, int64_t(i) * 20000));
        if (i >= 10 && i % 2 == 0) {
            ASSERT_EQ(0, writePicture(m, kivotest::makePicture(320, 240, 100), int64_t(i) * 20000));
        }
    }
    ASSERT_TRUE(m.stop());
    auto pictures = kivotest::decodeVideo(path);
    ASSERT_FALSE(pictures.empty());
    EXPECT_NEAR(0.2, pictures[0].seconds, 0.001);
}
