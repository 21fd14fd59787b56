// Picture fitting for the camera component: a picture of another shape is scaled to fit inside
// the output size, centred, with black bars (never stretched, never cropped). Any thread.
#pragma once

#include <cstdint>

namespace vcam {

struct I420View {
    const uint8_t* y = nullptr;
    const uint8_t* u = nullptr;
    const uint8_t* v = nullptr;
    int strideY = 0;
    int strideU = 0;
    int strideV = 0;
    int width = 0;
    int height = 0;
};

// A tight I420 picture stored in one buffer (Y, then U, then V).
I420View tightView(const uint8_t* data, int width, int height);

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Where a sw x sh picture lands inside dw x dh when fitted with its aspect ratio kept. All four
// values are even, so the chroma planes line up.
Rect fitRect(int sw, int sh, int dw, int dh);

// Writes src into the tight I420 buffer dst of dw x dh: copied when the sizes match, otherwise
// scaled into fitRect() with black (Y 16, U/V 128) around it.
void letterbox(const I420View& src, uint8_t* dst, int dw, int dh);

// The picture shown while no phone sends one: even dark grey.
void fillPlaceholder(uint8_t* dst, int width, int height);

}  // namespace vcam
