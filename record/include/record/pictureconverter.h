// The recorder's per-picture work: turns a bottom-up picture of any size and orientation into a
// planar YUV 4:2:0 picture of the recording size. Every intermediate buffer comes from the given
// packet pool and goes back to it when its wrapper dies.
// Thread rules: convert() from any thread; the pool is thread-safe and outlives the converter.
#pragma once

#include <QImage>
#include <QSize>

#include "kivobridge/pool.h"
#include "mirror/videoframe.h"

class PictureConverter {
public:
    // size: the recording size, width and height even.
    PictureConverter(pp::Abstract_PacketPool* pool, QSize size) : pool_(pool), size_(size) {}

    // Width greater than height; a square counts as portrait.
    static bool isLandscape(QSize size) { return size.width() > size.height(); }

    // Flips top to bottom, rotates by 90 degrees (landscape picture, portrait recording) or 270
    // (portrait picture, landscape recording), scales to the recording size and converts. Y
    // stride = width, U and V strides = width / 2, opaque alpha plane. Null (after a log line)
    // when the pool gives no buffer or the picture is null.
    I420FramePtr convert(const QImage& picture) const;

    QSize size() const { return size_; }

private:
    // A QImage over a pool node that releases the node when the last copy of the image dies.
    static QImage wrapNode(pp::FLMemNode* node, int width, int height);

    pp::Abstract_PacketPool* pool_;
    QSize size_;
};
