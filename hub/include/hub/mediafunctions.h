// Picture and sound arithmetic of the hub, kept apart from the servers and widgets so it can be
// tested on its own. Any thread.
#pragma once

#include <QImage>

#include <cstdint>

#include "mirror/videoframe.h"

namespace media {

// Level of one block of interleaved signed 16-bit samples, 0 or more, measured over the first
// half of its samples. Blocks shorter than 4 bytes (no sample to measure) give 0.
double audioLevel(const uint8_t* data, int bytes);

// The picture as shown: width rounded down to a multiple of 8 (columns beyond it are dropped,
// nothing is scaled), tight strides. Null when the frame is empty.
I420FramePtr makeDisplayFrame(const I420Frame& frame);

// The picture as the renderer reads it back (BT.709, RGBA8888, bottom row first), for when the
// window paints nothing. Null for an empty frame.
QImage toBottomUpRgba(const I420Frame& frame);

}  // namespace media
