// Decodes H.264 units with libavcodec, for checking what the simulator sent.
// Thread rules: one thread per object.
#pragma once

#include <QByteArray>

#include <utility>
#include <vector>

namespace phonesimtest {

struct DecodedPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> luma;  // width * height bytes
};

// Feeds the units in order (parameter sets together with the picture after them), then drains
// the decoder.
// Returns false when the decoder rejects a unit.
bool decodeUnits(const std::vector<QByteArray>& units, std::vector<DecodedPicture>* pictures);

}  // namespace phonesimtest
