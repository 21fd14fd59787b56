// The picture code of --code-stamp survives the simulator's own H.264 encoding at the default bit
// rate, portrait and landscape, and reads back as exactly the picture's number.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "h264decode.h"
#include "stamp.h"
#include "videosource.h"

namespace {

using phonesimtest::DecodedPicture;

std::vector<DecodedPicture> encodeAndDecode(const phonesim::Options& o) {
    std::string error;
    auto source = phonesim::makeVideoSource(o, &error);
    EXPECT_TRUE(source) << error;
    std::vector<QByteArray> units;
    phonesim::AccessUnit au;
    while (source && source->next(&au)) {
        QByteArray unit(reinterpret_cast<const char*>(au.config.data()),
                        static_cast<int>(au.config.size()));
        unit.append(reinterpret_cast<const char*>(au.picture.data()),
                    static_cast<int>(au.picture.size()));
        units.push_back(unit);
    }
    std::vector<DecodedPicture> pictures;
    EXPECT_TRUE(phonesimtest::decodeUnits(units, &pictures));
    return pictures;
}

TEST(Stamp, CodeReadsBackExactlyAfterEncoding) {
    phonesim::Options o;
    o.codeStamp = true;
    o.duration = 2.5;  // past 64 pictures, so the upper bits change too
    o.rotateEvery = 1;
    const std::vector<DecodedPicture> pictures = encodeAndDecode(o);
    ASSERT_EQ(pictures.size(), 75u);
    for (size_t i = 0; i < pictures.size(); ++i) {
        const DecodedPicture& p = pictures[i];
        uint32_t code = 0;
        ASSERT_TRUE(phonesim::readStamp(p.luma.data(), p.width, p.width, p.height, &code)) << i;
        EXPECT_EQ(code, i);
    }
    // A picture without a code is not taken for one.
    o.codeStamp = false;
    o.duration = 0.1;
    const std::vector<DecodedPicture> plain = encodeAndDecode(o);
    ASSERT_FALSE(plain.empty());
    uint32_t code = 0;
    EXPECT_FALSE(
        phonesim::readStamp(plain[0].luma.data(), plain[0].width, plain[0].width, 720, &code));
}

TEST(Stamp, EveryBitPattern) {
    std::vector<uint8_t> luma(1280 * 720, 128);
    for (uint32_t v : {0u, 1u, 0x8000u, 0xAAAAu, 0x5555u, 0xFFFFu, 0x12345u}) {
        phonesim::paintStamp(luma.data(), 1280, 1280, 720, v);
        uint32_t code = 0;
        ASSERT_TRUE(phonesim::readStamp(luma.data(), 1280, 1280, 720, &code));
        EXPECT_EQ(code, v & 0xFFFFu);
    }
}

}  // namespace
