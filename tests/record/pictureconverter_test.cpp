// PictureConverter: exact pixel placement and the life of its pool buffers.
#include <gtest/gtest.h>

#include <memory>

#include "kivobridge/pool.h"
#include "readback.h"
#include "record/pictureconverter.h"

using namespace recordtest;

namespace {

struct PoolDeleter {
    void operator()(pp::Abstract_PacketPool* p) const { pp::destroy_pktpool(p); }
};
using PoolPtr = std::unique_ptr<pp::Abstract_PacketPool, PoolDeleter>;

PoolPtr makePool(size_t maxBytes = 0) {
    pp::PoolOptions options;
    options.max_bytes = maxBytes;
    return PoolPtr(pp::create_pktpool("converter-test", &options));
}

LumaPicture lumaOf(const I420Frame& f) {
    LumaPicture p;
    p.width = f.width();
    p.height = f.height();
    for (int row = 0; row < f.height(); ++row)
        p.y.insert(p.y.end(), f.dataY() + row * f.strideY(),
                   f.dataY() + row * f.strideY() + f.width());
    return p;
}

}  // namespace

// Bottom-up input must come out upright (flipped, not mirrored sideways), with the strides the
// muxer is told and an opaque alpha plane.
TEST(PictureConverter, FlipsBottomUpInput) {
    PoolPtr pool = makePool();
    const PictureConverter converter(pool.get(), QSize(320, 240));
    const I420FramePtr out = converter.convert(markedPicture(320, 240).mirrored(false, true));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->width(), 320);
    EXPECT_EQ(out->height(), 240);
    EXPECT_EQ(out->strideY(), 320);
    EXPECT_EQ(out->strideU(), 160);
    EXPECT_EQ(out->strideV(), 160);
    const LumaPicture y = lumaOf(*out);
    const int s = markerSize(320, 240);
    EXPECT_NEAR(cornerLuma(y, Corner::TopLeft, s), kWhiteY, 2);
    EXPECT_NEAR(cornerLuma(y, Corner::TopRight, s), kGreyY, 3);
    EXPECT_NEAR(cornerLuma(y, Corner::BottomLeft, s), kBlackY, 2);
    EXPECT_EQ(out->dataA()[0], 255);
    EXPECT_EQ(out->dataA()[320 * 240 - 1], 255);
    // Neutral chroma for a grey picture.
    EXPECT_NEAR(out->dataU()[160 * 60 + 80], 128, 2);
    EXPECT_NEAR(out->dataV()[160 * 60 + 80], 128, 2);
}

// Turned and scaled pictures land exactly: a 1080x1920 portrait picture in a 640x360 landscape
// recording is turned counter-clockwise and scaled by a third.
TEST(PictureConverter, TurnsThenScales) {
    PoolPtr pool = makePool();
    const PictureConverter converter(pool.get(), QSize(640, 360));
    const I420FramePtr out = converter.convert(markedPicture(1080, 1920).mirrored(false, true));
    ASSERT_TRUE(out);
    const LumaPicture y = lumaOf(*out);
    const int s = markerSize(1080, 1920) / 3;
    EXPECT_NEAR(cornerLuma(y, Corner::BottomLeft, s), kWhiteY, 2);
    EXPECT_NEAR(cornerLuma(y, Corner::TopLeft, s), kGreyY, 3);
    EXPECT_NEAR(cornerLuma(y, Corner::TopRight, s), kBlackY, 2);
    EXPECT_NEAR(cornerLuma(y, Corner::BottomRight, s), kBlackY, 2);
}

// Every intermediate buffer must go back to the pool (a leak would grow the pool each picture
// until the cap stops recording), and a pool that gives no buffer drops the picture quietly.
TEST(PictureConverter, PoolBuffersReturnAndExhaustionDrops) {
    PoolPtr pool = makePool();
    const PictureConverter converter(pool.get(), QSize(640, 360));
    const QImage portrait = markedPicture(720, 1280);
    ASSERT_TRUE(converter.convert(portrait));
    const size_t warm = pool->heldBytes();
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(converter.convert(portrait));
    EXPECT_LE(pool->heldBytes(), warm);

    // A held picture keeps its buffer; dropping it gives the buffer back for reuse.
    I420FramePtr kept = converter.convert(portrait);
    ASSERT_TRUE(kept);
    kept.reset();
    EXPECT_LE(pool->heldBytes(), warm);

    // Too small for the turn, for the scale, and for the YUV picture in turn.
    PoolPtr tiny = makePool(64 * 1024);
    EXPECT_FALSE(PictureConverter(tiny.get(), QSize(640, 360)).convert(portrait));
    EXPECT_FALSE(PictureConverter(tiny.get(), QSize(640, 360)).convert(markedPicture(1280, 720)));
    EXPECT_FALSE(PictureConverter(tiny.get(), QSize(640, 360)).convert(markedPicture(640, 360)));
    EXPECT_EQ(tiny->heldBytes(), 0u);
    EXPECT_FALSE(converter.convert(QImage()));
}
