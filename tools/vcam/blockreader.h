// The camera component's reading side of the picture block: waits on the event, takes the lock,
// copies the whole block and releases the lock at once; everything after works on the copy.
// Thread rules: one thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "output/camerablock.h"
#include "output/namedsharedmemory.h"

namespace vcam {

class BlockReader {
public:
    enum class Result {
        NotOpen,  // the block does not exist (yet); try again later
        Nothing,  // no refresh within the wait
        Empty,    // the header says 0 x 0: no phone
        Picture,  // a picture of header() size is in picture()
        Invalid,  // the header names a size that does not fit the block
    };

    explicit BlockReader(std::string baseName) : baseName_(std::move(baseName)) {}

    // Opens the block if needed, waits at most waitMs for a refresh and copies the block.
    Result next(int waitMs);

    const camerablock::Header& header() const { return header_; }
    const uint8_t* picture() const { return copy_.data() + camerablock::kHeaderSize; }

private:
    std::string baseName_;
    NamedSharedMemory memory_;
    std::vector<uint8_t> copy_ = std::vector<uint8_t>(camerablock::kBlockSize);
    camerablock::Header header_;
};

}  // namespace vcam
