// The converters behind the muxer: PCM conversion and re-cutting, picture scaling, and the
// byte/time arithmetic the worker's audio clock depends on.
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <memory>
#include <vector>

#include "audioio.h"
#include "avrecmux/avmuxer.h"
#include "imagescaler.h"
#include "testmedia.h"

using kivo::AudioIO;
using kivo::ImageScaler;
using kivo::muxer::AVMuxer;
using kivotest::LogWatch;

namespace {

struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

// A frame over interleaved 16-bit stereo bytes at rate (not copied).
FramePtr s16Frame(std::vector<uint8_t>& bytes, int rate) {
    FramePtr f(av_frame_alloc());
    f->format = AV_SAMPLE_FMT_S16;
    f->sample_rate = rate;
    av_channel_layout_default(&f->ch_layout, 2);
    f->nb_samples = static_cast<int>(bytes.size() / 4);
    f->data[0] = bytes.data();
    f->extended_data = f->data;
    f->linesize[0] = static_cast<int>(bytes.size());
    return f;
}

}  // namespace

// Wrong rounding or truncation here shifts the worker's audio clock and the silence sizes.
TEST(AvrecmuxPcmArithmetic, BytesAndMicroseconds) {
    EXPECT_EQ(7056, AVMuxer::nbytes_pcm_for_microseconds(40000, 2, 44100, 16));
    EXPECT_EQ(5880, AVMuxer::nbytes_pcm_for_microseconds(33333, 2, 44100, 16));
    EXPECT_EQ(10584, AVMuxer::nbytes_pcm_for_microseconds(60000, 2, 44100, 16));
    EXPECT_EQ(40000, AVMuxer::microseconds_for_pcm_nbytes(7056, 2, 44100, 16));
    EXPECT_EQ(23, AVMuxer::microseconds_for_pcm_nbytes(4, 2, 44100, 16));
    // Bytes that do not make a whole sample frame are not counted.
    EXPECT_EQ(23, AVMuxer::microseconds_for_pcm_nbytes(7, 2, 44100, 16));
    // Degenerate formats must not divide by zero.
    EXPECT_EQ(0, AVMuxer::microseconds_for_pcm_nbytes(100, 0, 44100, 16));
    EXPECT_EQ(0, AVMuxer::microseconds_for_pcm_nbytes(100, 2, 0, 16));
    EXPECT_EQ(0, AVMuxer::nbytes_pcm_for_microseconds(100, 2, 0, 16));
}

// The FIFO must hand out only whole encoder frames and keep the remainder for the next chunk.
TEST(AvrecmuxAudioIO, FifoCutsExactFrames) {
    AudioIO io;
    LogWatch log;
    EXPECT_EQ(nullptr, io.get(1024));
    EXPECT_TRUE(log.contains("--- audio io is NULL, 请先设置输出格式"));

    ASSERT_TRUE(io.set_output(AV_SAMPLE_FMT_FLTP, 2, 44100));
    auto chunk = kivotest::makeTone(1000, 44100, 440);
    ASSERT_TRUE(io.push(s16Frame(chunk, 44100).get()));
    EXPECT_EQ(nullptr, io.get(1024));
    EXPECT_EQ(1000, io.buffered_samples());

    auto more = kivotest::makeTone(100, 44100, 440, 1000);
    ASSERT_TRUE(io.push(s16Frame(more, 44100).get()));
    FramePtr out(io.get(1024));
    ASSERT_TRUE(out);
    EXPECT_EQ(1024, out->nb_samples);
    EXPECT_EQ(AV_SAMPLE_FMT_FLTP, out->format);
    EXPECT_EQ(2, out->ch_layout.nb_channels);
    EXPECT_EQ(76, io.buffered_samples());
    // The samples come out converted and in order: 16-bit value v becomes v / 32768.
    const auto* in16 = reinterpret_cast<const int16_t*>(chunk.data());
    const auto* left = reinterpret_cast<const float*>(out->extended_data[0]);
    const auto* right = reinterpret_cast<const float*>(out->extended_data[1]);
    for (int i : {0, 1, 500, 999}) {
        EXPECT_NEAR(in16[2 * i] / 32768.0f, left[i], 1e-4) << i;
        EXPECT_NEAR(in16[2 * i + 1] / 32768.0f, right[i], 1e-4) << i;
    }
}

// The converter is built once for a steady input, rebuilt once when the rate changes, and output
// at another rate has the length the resampling implies.
TEST(AvrecmuxAudioIO, ConverterFollowsInputFormat) {
    AudioIO io;
    ASSERT_TRUE(io.set_output(AV_SAMPLE_FMT_FLTP, 2, 44100));
    auto a = kivotest::makeTone(441, 44100, 440);
    ASSERT_TRUE(io.push(s16Frame(a, 44100).get()));
    EXPECT_TRUE(io.converting());
    ASSERT_TRUE(io.push(s16Frame(a, 44100).get()));
    EXPECT_EQ(882, io.buffered_samples());

    auto b = kivotest::makeTone(4800, 48000, 440);
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(io.push(s16Frame(b, 48000).get()));
    // 48000 samples at 48 kHz are about 44100 at 44.1 kHz (the resampler keeps a short tail).
    EXPECT_NEAR(882 + 44100, io.buffered_samples(), 64);

    // Input already in the output format passes without a converter.
    AudioIO plain;
    ASSERT_TRUE(plain.set_output(AV_SAMPLE_FMT_S16, 2, 44100));
    ASSERT_TRUE(plain.push(s16Frame(a, 44100).get()));
    EXPECT_FALSE(plain.converting());
    FramePtr out(plain.get(441));
    ASSERT_TRUE(out);
    EXPECT_EQ(0, memcmp(out->data[0], a.data(), a.size()));
}

// The scaling context and output frame are reused while nothing changes; the picture really is
// converted (RGBA red becomes a high V plane) and resized.
TEST(AvrecmuxImageScaler, ReusesContextAndConverts) {
    ImageScaler scaler;
    LogWatch log;
    scaler.init(64, 48, AV_PIX_FMT_RGBA, 32, 24, AV_PIX_FMT_YUV420P);
    ASSERT_TRUE(scaler.has_context());
    const AVFrame* first = scaler.output_frame();
    scaler.init(64, 48, AV_PIX_FMT_RGBA, 32, 24, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(first, scaler.output_frame());
    EXPECT_TRUE(log.contains("--画面不需要转换--"));
    EXPECT_EQ(1, log.count("---> 初始化 sws"));

    std::vector<uint8_t> rgba(64 * 48 * 4);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        rgba[i] = 255;  // red
        rgba[i + 3] = 255;
    }
    FramePtr in(av_frame_alloc());
    in->width = 64;
    in->height = 48;
    in->format = AV_PIX_FMT_RGBA;
    in->data[0] = rgba.data();
    in->linesize[0] = 64 * 4;
    in->pts = 77;
    AVFrame* out = nullptr;
    EXPECT_TRUE(scaler.scale(in.get(), &out));
    ASSERT_NE(out, in.get());
    EXPECT_EQ(32, out->width);
    EXPECT_EQ(24, out->height);
    EXPECT_EQ(77, out->pts);
    EXPECT_NEAR(82, out->data[0][0], 4);  // BT.601 luma of pure red
    EXPECT_GT(out->data[2][0], 230);      // V
    EXPECT_LT(out->data[1][0], 110);      // U

    // A size change builds a new context and frame.
    scaler.init(64, 48, AV_PIX_FMT_RGBA, 16, 12, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(2, log.count("---> 初始化 sws"));
    EXPECT_EQ(16, scaler.output_frame()->width);
}
