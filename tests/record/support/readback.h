// Reads a recording back with libavformat/libavcodec and builds the marked test pictures.
#pragma once

#include <QImage>
#include <QString>

#include <cstdint>
#include <vector>

namespace recordtest {

// The luma plane of one decoded picture.
struct LumaPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> y;

    // Mean luma of the square [x, x + size) x [y, y + size).
    double mean(int x, int y, int size) const;
};

struct Recording {
    bool opened = false;
    int width = 0;  // video stream size, 0 without a video stream
    int height = 0;
    int videoFrames = 0;  // decoded pictures
    LumaPicture first;
    LumaPicture last;
    int sampleRate = 0;  // audio stream, 0 without one
    int channels = 0;
    int64_t audioSamples = 0;  // decoded samples per channel
};

Recording readRecording(const QString& path);

enum class Corner { TopLeft, TopRight, BottomLeft, BottomRight };

// Mean luma near a corner: a square of size / 2 starting size / 4 in from the corner, so the
// edges of a marker of that size and coding blur do not matter.
double cornerLuma(const LumaPicture& picture, Corner corner, int size);

// An upright picture, black, with a white square in the top-left corner and a mid-grey one in
// the top-right corner, each min(width, height) / 4 wide.
QImage markedPicture(int width, int height);
int markerSize(int width, int height);

// A picture of one grey level.
QImage greyPicture(int width, int height, int grey);

// Luma levels a limited-range encoder gives white, mid-grey (128) and black.
constexpr double kWhiteY = 235;
constexpr double kGreyY = 126;
constexpr double kBlackY = 16;

}  // namespace recordtest
