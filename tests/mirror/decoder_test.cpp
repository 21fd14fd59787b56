// The decoding pipeline on real H.264 from libx264: the two-frame buffer, the decoder and the
// stream thread with its configuration merging, error handling and shutdown.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "h264_capture.h"
#include "h264_source.h"
#include "mirror/decoder.h"
#include "mirror/stream.h"
#include "mirror/videobuffer.h"

using namespace std::chrono_literals;
using h264test::EncodedStream;
using h264test::makePacket;

namespace {

const EncodedStream& smallStream() {
    static const EncodedStream stream = h264test::encodeStream(320, 240, 12);
    return stream;
}

// Feeds one packet straight to a decoder; the packet is freed afterwards.
bool decodeBytes(mirror::Decoder& decoder, const h264test::Bytes& bytes) {
    AVPacket* packet = makePacket(bytes, false);
    const bool ok = decoder.decodePacket(packet);
    av_packet_free(&packet);
    return ok;
}

h264test::Bytes withConfig(const EncodedStream& s, size_t picture) {
    h264test::Bytes bytes = s.config;
    bytes.insert(bytes.end(), s.pictures[picture].begin(), s.pictures[picture].end());
    return bytes;
}

// Stream + decoder + buffer as a connection wires them, with a consumer that scores every
// picture it is told about against the source it should be.
struct Pipeline {
    mirror::VideoBuffer buffer;
    mirror::Decoder decoder{&buffer};
    mirror::Stream stream;
    std::mutex mutex;
    std::vector<AVFrame*> seen;  // clones of the pictures taken
    std::atomic<int> notices{0};

    Pipeline() {
        buffer.allocateFrames(false);
        QObject::connect(
            &decoder, &mirror::Decoder::onNewFrame, &decoder,
            [this] {
                buffer.lock();
                AVFrame* clone = av_frame_clone(buffer.takeDisplayFrame());
                buffer.unlock();
                std::lock_guard<std::mutex> lock(mutex);
                seen.push_back(clone);
                ++notices;
            },
            Qt::DirectConnection);
        stream.attachDecoder(&decoder);
    }
    ~Pipeline() {
        stream.stopDecoding();
        for (AVFrame* f : seen) av_frame_free(&f);
    }
    bool waitFor(int count, std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (notices.load() < count) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }
};

// Standard error goes to a file while it lives (FFmpeg writes its messages there).
class StderrCapture {
public:
    StderrCapture() : saved_(::dup(2)), file_(std::tmpfile()) {
        std::fflush(stderr);
        if (file_) ::dup2(::fileno(file_), 2);
    }
    ~StderrCapture() {
        restore();
        if (file_) std::fclose(file_);
    }
    QString text() {
        restore();
        if (!file_) return QString();
        std::rewind(file_);
        QByteArray bytes;
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, file_)) > 0;) bytes.append(buf, int(n));
        return QString::fromUtf8(bytes);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }
    int saved_;
    std::FILE* file_;
};

}  // namespace

// Guards against a consumer that falls behind seeing stale pictures or being notified twice
// for one hand-over, and against the decoder blocking on it.
TEST(VideoBuffer, NewestPictureWinsWhenConsumerIsLate) {
    const EncodedStream& s = smallStream();
    ASSERT_EQ(s.pictures.size(), 12u) << "libx264 through libavcodec is needed";
    mirror::VideoBuffer buffer;
    ASSERT_TRUE(buffer.allocateFrames(false));
    mirror::Decoder decoder(&buffer);
    int notices = 0;
    QObject::connect(&decoder, &mirror::Decoder::onNewFrame, [&] { ++notices; });
    ASSERT_TRUE(decoder.openCodec(avcodec_find_decoder(AV_CODEC_ID_H264)));

    ASSERT_TRUE(decodeBytes(decoder, withConfig(s, 0)));
    EXPECT_EQ(notices, 1);
    for (size_t i = 1; i < 6; ++i) ASSERT_TRUE(decodeBytes(decoder, s.pictures[i]));
    EXPECT_EQ(notices, 1) << "pictures the consumer has not taken must not be announced again";

    buffer.lock();
    const AVFrame* shown = buffer.takeDisplayFrame();
    EXPECT_GE(h264test::psnr(s.sources[5], shown), 35.0);
    EXPECT_LT(h264test::psnr(s.sources[0], shown), h264test::psnr(s.sources[5], shown));
    buffer.unlock();

    ASSERT_TRUE(decodeBytes(decoder, s.pictures[6]));
    EXPECT_EQ(notices, 2) << "a taken picture re-arms the notice";
    buffer.lock();
    EXPECT_GE(h264test::psnr(s.sources[6], buffer.takeDisplayFrame()), 35.0);
    buffer.unlock();

    // The swap itself: two publishes without a take report the drop.
    bool dropped = true;
    buffer.publishDecoded(&dropped);
    EXPECT_FALSE(dropped);
    buffer.publishDecoded(&dropped);
    EXPECT_TRUE(dropped);
    buffer.releaseFrames();
    EXPECT_EQ(buffer.decodeTarget(), nullptr);
}

// Guards against a decoder that waits for its consumer hanging forever on shutdown.
TEST(VideoBuffer, WaitingPublisherIsReleasedByTakeOrCancel) {
    mirror::VideoBuffer buffer;
    ASSERT_TRUE(buffer.allocateFrames(true));
    bool dropped = true;
    buffer.publishDecoded(&dropped);  // consumed flag starts true: no wait
    EXPECT_FALSE(dropped);

    std::atomic<bool> done{false};
    std::thread publisher([&] {
        bool d = true;
        buffer.publishDecoded(&d);
        done = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(done.load()) << "publisher must wait while the picture is unread";
    buffer.lock();
    buffer.takeDisplayFrame();
    buffer.unlock();
    publisher.join();
    EXPECT_TRUE(done.load());

    std::thread blocked([&] {
        bool d = false;
        buffer.publishDecoded(&d);
    });
    std::this_thread::sleep_for(50ms);
    buffer.cancelWait();
    blocked.join();  // hangs here if cancelWait does not release the waiter
}

// Guards against configuration data being lost, reordered or overwritten on its way to the
// first picture: SPS and PPS arrive as two packets and must precede the picture in that order.
TEST(Stream, ConfigurationPacketsAreMergedInOrderWithThePicture) {
    const EncodedStream& s = smallStream();
    ASSERT_EQ(s.configNals.size(), 2u);
    Pipeline p;
    ASSERT_TRUE(p.stream.startDecoding());
    EXPECT_TRUE(p.stream.queuePacket(makePacket(s.configNals[0], true)));
    EXPECT_TRUE(p.stream.queuePacket(makePacket(s.configNals[1], true)));
    for (size_t i = 0; i < s.pictures.size(); ++i)
        EXPECT_TRUE(p.stream.queuePacket(makePacket(s.pictures[i], false)));
    ASSERT_TRUE(p.waitFor(int(s.pictures.size()), 10s));
    std::lock_guard<std::mutex> lock(p.mutex);
    for (size_t i = 0; i < s.pictures.size(); ++i)
        EXPECT_GE(h264test::psnr(s.sources[i], p.seen[i]), 35.0) << "picture " << i;
}

// The same picture data with the parameter sets swapped cannot be decoded: shows the test above
// would notice a reordering.
TEST(Stream, SwappedConfigurationDoesNotDecode) {
    const EncodedStream& s = smallStream();
    h264test::MessageCapture log;
    Pipeline p;
    ASSERT_TRUE(p.stream.startDecoding());
    p.stream.queuePacket(makePacket(s.configNals[1], true));
    p.stream.queuePacket(makePacket(s.pictures[0], false));
    p.stream.stopDecoding();
    EXPECT_EQ(p.notices.load(), 0);
}

// Guards against one bad packet ending the session: the rejection is logged with FFmpeg's text
// and the following pictures still decode.
TEST(Stream, RejectedPacketIsLoggedAndDecodingGoesOn) {
    const EncodedStream& s = smallStream();
    h264test::MessageCapture log;
    Pipeline p;
    ASSERT_TRUE(p.stream.startDecoding());
    p.stream.queuePacket(makePacket(s.config, true));
    p.stream.queuePacket(makePacket(s.pictures[0], false));
    // A picture packet with no decodable slice.
    p.stream.queuePacket(makePacket(h264test::Bytes{0, 0, 0, 1, 0x09, 0xf0, 0, 0, 1, 0x0c}, false));
    for (size_t i = 1; i < 4; ++i) p.stream.queuePacket(makePacket(s.pictures[i], false));
    ASSERT_TRUE(p.waitFor(4, 10s));
    EXPECT_TRUE(log.contains("Could not send video packet: Invalid data found"))
        << log.messages().join("\n").toStdString();
    std::lock_guard<std::mutex> lock(p.mutex);
    for (size_t i = 0; i < 4; ++i) EXPECT_GE(h264test::psnr(s.sources[i], p.seen[i]), 35.0);
}

// Guards against ending a session decoding its whole backlog first (seconds of a blocked GUI
// or command thread), and against a stop that hangs on an idle stream.
TEST(Stream, StopDiscardsTheBacklogAndReturnsPromptly) {
    const EncodedStream& s = smallStream();
    {
        h264test::MessageCapture log;
        Pipeline p;
        p.stream.queuePacket(makePacket(s.config, true));
        int queued = 0;
        while (
            p.stream.queuePacket(makePacket(s.pictures[size_t(queued) % s.pictures.size()], false)))
            ++queued;
        ASSERT_TRUE(p.stream.startDecoding());
        ASSERT_TRUE(p.waitFor(1, 10s));
        QElapsedTimer timer;
        timer.start();
        p.stream.stopDecoding();
        // Loose bound for a busy machine; bench_flood reports the figure.
        EXPECT_LT(timer.elapsed(), 500) << queued << " packets queued";
        EXPECT_LT(p.notices.load(), queued / 2);
        EXPECT_TRUE(log.contains("End of frames"));
        EXPECT_TRUE(p.stream.isFinished());
    }
    {
        Pipeline p;
        int stops = 0;
        QObject::connect(&p.stream, &mirror::Stream::onStreamStop, [&] { ++stops; });
        ASSERT_TRUE(p.stream.startDecoding());
        QElapsedTimer timer;
        timer.start();
        p.stream.stopDecoding();
        EXPECT_LT(timer.elapsed(), 500);
        EXPECT_EQ(stops, 1);
    }
}

// Guards against a phone sending undecodable packets writing a log line (FFmpeg's and ours)
// for every packet: each kind is written once, and its count when the stream ends.
TEST(Stream, RepeatedFailuresAreLoggedOnceWithACount) {
    const EncodedStream& s = smallStream();
    h264test::MessageCapture log;
    StderrCapture ffmpegLog;
    {
        Pipeline p;
        ASSERT_TRUE(p.stream.startDecoding());
        p.stream.queuePacket(makePacket(s.config, true));
        p.stream.queuePacket(makePacket(s.pictures[0], false));
        for (int i = 0; i < 40; ++i) p.stream.queuePacket(makePacket(h264test::Bytes{1}, false));
        p.stream.queuePacket(makePacket(s.pictures[1], false));
        ASSERT_TRUE(p.waitFor(2, 10s));
    }
    const QString ffmpeg = ffmpegLog.text();
    EXPECT_EQ(ffmpeg.count("no frame!"), 1) << ffmpeg.toStdString();
    EXPECT_TRUE(log.contains("40 packets failed: no frame!"))
        << log.messages().join("\n").toStdString();
    EXPECT_EQ(log.messages().filter("Could not send video packet").size(), 2);
    EXPECT_TRUE(log.contains("40 video packets failed: Could not send video packet: Invalid data"))
        << log.messages().join("\n").toStdString();
}

// Guards against a phone that sends only configuration data (or a flood of packets the decoder
// cannot keep up with) growing memory without bound.
TEST(Stream, HostileVolumesAreBounded) {
    const EncodedStream& s = smallStream();
    h264test::MessageCapture log;
    {
        Pipeline p;  // not started: nothing drains the queue
        const h264test::Bytes chunk(1 << 20, 0xff);
        size_t accepted = 0;
        while (p.stream.queuePacket(makePacket(chunk, false))) ++accepted;
        const size_t cost = chunk.size() + mirror::Stream::kPacketOverheadBytes;
        EXPECT_EQ(accepted, mirror::Stream::kMaxQueuedBytes / cost);
        EXPECT_FALSE(p.stream.queuePacket(makePacket(chunk, false)));
        p.stream.stopDecoding();
        // Refused packets are logged once, then counted.
        EXPECT_EQ(log.messages().filter("Packet queue full").size(), 2);
        EXPECT_TRUE(log.contains("2 packets failed: Packet queue full"));
    }
    {
        // Tiny packets cost their heap, not their payload: a flood of them is bounded too.
        Pipeline p;
        const size_t limit = 400000;
        size_t accepted = 0;
        while (accepted < limit && p.stream.queuePacket(makePacket(h264test::Bytes{1}, false)))
            ++accepted;
        EXPECT_EQ(accepted,
                  mirror::Stream::kMaxQueuedBytes / (1 + mirror::Stream::kPacketOverheadBytes));
    }
    {
        Pipeline p;
        ASSERT_TRUE(p.stream.startDecoding());
        const h264test::Bytes junk(64 * 1024, 0xff);
        for (int i = 0; i < 40; ++i) p.stream.queuePacket(makePacket(junk, true));
        p.stream.queuePacket(makePacket(s.config, true));
        p.stream.queuePacket(makePacket(s.pictures[0], false));
        p.stream.queuePacket(makePacket(s.pictures[1], false));
        ASSERT_TRUE(p.waitFor(2, 10s));
        EXPECT_TRUE(log.contains("Configuration data too large"));
        std::lock_guard<std::mutex> lock(p.mutex);
        EXPECT_GE(h264test::psnr(s.sources[1], p.seen[1]), 35.0);
    }
}
