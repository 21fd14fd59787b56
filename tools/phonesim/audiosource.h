// Where the sound comes from: a generated sine tone or a media file converted to the requested
// PCM format (unsigned 8-bit or signed 16-bit little-endian, interleaved), in fixed blocks.
// Thread rules: created on the main thread, then used by the media thread only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "options.h"

namespace phonesim {

class AudioSource {
public:
    virtual ~AudioSource() = default;
    // The next block (the last one of a file may be shorter); false at the end.
    virtual bool next(std::vector<uint8_t>* block) = 0;
    int sampleRate() const { return rate_; }
    int channels() const { return channels_; }
    int bits() const { return bits_; }
    int blockFrames() const { return blockFrames_; }

protected:
    explicit AudioSource(const Options& o)
        : rate_(o.sampleRate),
          channels_(o.channels),
          bits_(o.bits),
          blockFrames_(std::max(1, o.sampleRate * o.blockMs / 1000)) {}

    int rate_;
    int channels_;
    int bits_;
    int blockFrames_;
};

// Blocks between two clicks of --clicks; 0 without clicks.
inline int clickEveryBlocks(const Options& o) {
    return o.clickMs > 0 ? std::max(1, (o.clickMs + o.blockMs / 2) / o.blockMs) : 0;
}

// Builds the source the options describe; null with a reason on failure.
std::unique_ptr<AudioSource> makeAudioSource(const Options& options, std::string* error);

}  // namespace phonesim
