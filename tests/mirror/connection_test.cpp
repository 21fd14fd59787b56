// MirrorConnection on real H.264: pictures out of the pool match their sources, the pool node is
// held exactly as long as a frame pointer, and connections come and go without leaks.
#include "kivobridge/pool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "h264_capture.h"
#include "h264_source.h"
#include "mirror/mirrorconnection.h"
#include "mirror/screenmirrorserver.h"

using namespace std::chrono_literals;
using h264test::EncodedStream;
using h264test::makePacket;

namespace {

struct PoolDeleter {
    void operator()(pp::Abstract_PacketPool* p) const { pp::destroy_pktpool(p); }
};
using PoolPtr = std::unique_ptr<pp::Abstract_PacketPool, PoolDeleter>;

void collect(MirrorConnection& connection, h264test::FrameCollector& frames) {
    QObject::connect(
        &connection, &MirrorConnection::sigVideoFrame, &connection,
        [&frames](I420FramePtr f) { frames.add(f); }, Qt::DirectConnection);
}

}  // namespace

// Guards against wrong strides, plane offsets or sizes in the copy out of the decoder: every
// picture that went in comes out in order, matching its source, with an opaque alpha plane.
TEST(MirrorConnection, DecodedPicturesMatchTheirSources) {
    h264test::registerFrameTypes();
    for (auto size : {std::make_pair(320, 240), std::make_pair(1280, 720)}) {
        const EncodedStream s = h264test::encodeStream(size.first, size.second, 8);
        ASSERT_EQ(s.pictures.size(), 8u) << "libx264 through libavcodec is needed";
        h264test::FrameCollector frames;
        MirrorConnection connection(ScreenMirrorServer::framePool());
        collect(connection, frames);
        ASSERT_NE(connection.stream(), nullptr);
        connection.stream()->queuePacket(makePacket(s.config, true));
        for (const auto& picture : s.pictures)
            connection.stream()->queuePacket(makePacket(picture, false));
        ASSERT_TRUE(frames.waitFor(s.pictures.size(), 10s));
        const auto got = frames.take();
        for (size_t i = 0; i < got.size(); ++i) {
            const I420Frame& f = *got[i];
            EXPECT_EQ(f.width(), size.first);
            EXPECT_EQ(f.height(), size.second);
            EXPECT_GE(f.strideY(), size.first);
            EXPECT_EQ(f.strideA(), f.strideY());
            EXPECT_GE(h264test::psnr(s.sources[i], f), 35.0) << size.first << " picture " << i;
            bool opaque = true;
            for (size_t k = 0; k < size_t(f.strideA()) * f.height(); ++k)
                opaque = opaque && f.dataA()[k] == 255;
            EXPECT_TRUE(opaque);
        }
    }
}

// Guards against the node going back to the pool while a frame still points at it (a later
// picture would overwrite one still on screen), or never going back at all. The pool holds one
// picture buffer at most, so a picture decoded while a frame is alive gets no node and is
// dropped; once every copy is gone, the next picture gets the same buffer again.
TEST(MirrorConnection, PoolNodeReturnsWithTheLastFramePointer) {
    const EncodedStream s = h264test::encodeStream(320, 240, 6);
    ASSERT_EQ(s.pictures.size(), 6u);
    const size_t nodeBytes = 2 * 320 * 240 * 2;  // generous: strides may be padded
    pp::PoolOptions options;
    options.max_bytes = nodeBytes * 3 / 2;
    PoolPtr pool(pp::create_pktpool("onePicture", &options));
    ASSERT_TRUE(pool);

    h264test::FrameCollector frames;
    MirrorConnection connection(pool.get());
    collect(connection, frames);
    connection.stream()->queuePacket(makePacket(s.config, true));
    connection.stream()->queuePacket(makePacket(s.pictures[0], false));
    ASSERT_TRUE(frames.waitFor(1, 10s));
    I420FramePtr first = frames.take().front();
    I420FramePtr copy = first;
    uint8_t* const buffer = first->data();

    connection.stream()->queuePacket(makePacket(s.pictures[1], false));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(frames.count(), 0u) << "the node was handed out again while a frame held it";

    first.reset();  // one copy left
    connection.stream()->queuePacket(makePacket(s.pictures[2], false));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(frames.count(), 0u) << "the node went back before the last copy was dropped";

    copy.reset();
    connection.stream()->queuePacket(makePacket(s.pictures[3], false));
    ASSERT_TRUE(frames.waitFor(1, 10s)) << "the node never went back to the pool";
    I420FramePtr next = frames.take().front();
    EXPECT_EQ(next->data(), buffer);
    EXPECT_GE(h264test::psnr(s.sources[3], *next), 35.0);
}

// Guards against threads, descriptors or memory left behind by each phone session.
TEST(MirrorConnection, ManyConnectionsLeaveNothingBehind) {
    const EncodedStream s = h264test::encodeStream(320, 240, 3);
    ASSERT_EQ(s.pictures.size(), 3u);
    auto session = [&](bool feed) {
        h264test::FrameCollector frames;
        MirrorConnection connection(ScreenMirrorServer::framePool());
        collect(connection, frames);
        if (!feed) return;
        connection.stream()->queuePacket(makePacket(s.config, true));
        for (const auto& picture : s.pictures)
            connection.stream()->queuePacket(makePacket(picture, false));
        // Packets still queued when the session ends are freed with the stream.
        connection.stream()->queuePacket(makePacket(s.pictures[0], false));
        frames.waitFor(1, 10s);
    };
    for (int i = 0; i < 5; ++i) session(true);  // warm-up
    const int threads = h264test::settledProcEntries("task");
    const int fds = h264test::settledProcEntries("fd");
    const size_t heldBytes = ScreenMirrorServer::framePool()->heldBytes();
    for (int i = 0; i < 100; ++i) session(i % 2 == 0);
    EXPECT_LE(h264test::settledProcEntries("task", threads), threads);
    EXPECT_LE(h264test::settledProcEntries("fd", fds), fds);
    // Released buffers are kept for reuse, as many as were ever in flight at once; a leak would
    // hold one more per session.
    EXPECT_LT(ScreenMirrorServer::framePool()->heldBytes(), heldBytes + 10 * 2 * 384 * 240);
}
