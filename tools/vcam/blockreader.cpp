#include "blockreader.h"

#include <chrono>
#include <thread>

namespace vcam {

BlockReader::Result BlockReader::next(int waitMs) {
    if (!memory_.isOpen() && !memory_.open(baseName_, camerablock::kBlockSize, false)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        return Result::NotOpen;
    }
    if (!memory_.waitForPicture(waitMs)) return Result::Nothing;
    if (!memory_.read(copy_.data(), static_cast<uint32_t>(copy_.size()), waitMs))
        return Result::Nothing;
    switch (camerablock::inspect(copy_.data(), copy_.size(), &header_)) {
        case camerablock::Content::Empty:
            return Result::Empty;
        case camerablock::Content::Picture:
            return Result::Picture;
        case camerablock::Content::Invalid:
            break;
    }
    return Result::Invalid;
}

}  // namespace vcam
