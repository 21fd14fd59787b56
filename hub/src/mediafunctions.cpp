#include "hub/mediafunctions.h"

#include <libyuv.h>

#include <cmath>
#include <cstring>

namespace media {

double audioLevel(const uint8_t* data, int bytes) {
    const int n = bytes / 4;
    if (!data || n <= 0) return 0.0;
    int64_t sum = 0;
    for (int i = 0; i < n; ++i) {
        int16_t sample;
        std::memcpy(&sample, data + 2 * i, sizeof sample);
        sum += static_cast<int64_t>(sample) * sample;
    }
    const int64_t mean = sum / n / 2;
    if (mean <= 0) return 0.0;
    const double level =
        (10.0 * std::log10(static_cast<double>(mean)) - 30.0) / (20.0 * std::log10(65535.0) - 30.0);
    return level < 0.0 ? 0.0 : level;
}

I420FramePtr makeDisplayFrame(const I420Frame& frame) {
    const int width = I420Frame::displayWidth(frame.width());
    const int height = frame.height();
    if (width <= 0 || height <= 0 || !frame.data()) return nullptr;
    auto display = std::make_shared<I420Frame>(width, height, width, width / 2, width / 2);
    libyuv::I420Copy(frame.dataY(), frame.strideY(), frame.dataU(), frame.strideU(), frame.dataV(),
                     frame.strideV(), display->dataY(), display->strideY(), display->dataU(),
                     display->strideU(), display->dataV(), display->strideV(), width, height);
    display->setTimeUs(frame.timeUs());
    return display;
}

QImage toBottomUpRgba(const I420Frame& frame) {
    const int width = frame.width();
    const int height = frame.height();
    if (width <= 0 || height <= 0 || !frame.data()) return QImage();
    QImage image(width, height, QImage::Format_RGBA8888);
    if (image.isNull()) return image;
    // libyuv's "ARGB" is B, G, R, A in memory; with U and V swapped and the matching constants it
    // writes R, G, B, A. A negative height turns the picture upside down.
    libyuv::I420ToARGBMatrix(frame.dataY(), frame.strideY(), frame.dataV(), frame.strideV(),
                             frame.dataU(), frame.strideU(), image.bits(),
                             int(image.bytesPerLine()), &libyuv::kYvuH709Constants, width, -height);
    return image;
}

}  // namespace media
