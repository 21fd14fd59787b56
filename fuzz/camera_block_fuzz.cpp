// Feeds bytes to the camera component as the start of the picture block another process wrote:
// the header read and fit check, then, for a picture that passes, the fitting into the output
// frame that the component runs on it. Nothing may reach outside the block or the frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "letterbox.h"
#include "output/camerablock.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// Scaling a large picture takes milliseconds; smaller ones reach the same code.
constexpr size_t kMaxFittedPicture = size_t{1} << 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace camerablock;
    // The component always copies a whole block; a block of exactly that size on the heap lets
    // the address sanitizer see any read past it.
    static std::vector<uint8_t> block(kBlockSize);
    static size_t dirty = 0;
    const size_t n = size < block.size() ? size : block.size();
    std::memcpy(block.data(), data, n);
    if (dirty > n) std::memset(block.data() + n, 0, dirty - n);
    dirty = n;
    if (n < kHeaderSize) std::memset(block.data() + n, 0, kHeaderSize - n);

    Header h;
    const Content c = inspect(block.data(), block.size(), &h);
    if (c == Content::Empty) check(h.width == 0 && h.height == 0);
    if (c != Content::Picture) return 0;
    check(h.width > 0 && h.height > 0 && h.width % 2 == 0 && h.height % 2 == 0);
    check(i420Size(h.width, h.height) <= block.size() - kHeaderSize);
    if (i420Size(h.width, h.height) > kMaxFittedPicture) return 0;

    // The output size comes from the command line; take a small one from the input.
    const int dw = size > 8 ? 2 * (1 + data[8] % 48) : kLandscapeWidth / 20;
    const int dh = size > 9 ? 2 * (1 + data[9] % 48) : kLandscapeHeight / 20;
    const vcam::Rect r = vcam::fitRect(h.width, h.height, dw, dh);
    check(r.x >= 0 && r.y >= 0 && r.x + r.width <= dw && r.y + r.height <= dh);
    check(r.x % 2 == 0 && r.y % 2 == 0 && r.width % 2 == 0 && r.height % 2 == 0);
    std::vector<uint8_t> frame(i420Size(dw, dh));
    vcam::letterbox(vcam::tightView(block.data() + kHeaderSize, h.width, h.height), frame.data(),
                    dw, dh);
    return 0;
}
