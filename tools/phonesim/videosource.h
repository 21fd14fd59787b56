// Where the pictures come from: a generated moving test pattern encoded with libx264, or a
// media file (H.264 passed through as it is stored, other codecs re-encoded), optionally
// encoded completely before streaming starts.
// Thread rules: created on the main thread, then used by the media thread only.
#pragma once

#include <memory>
#include <string>

#include "h264.h"
#include "options.h"

namespace phonesim {

class VideoSource {
public:
    virtual ~VideoSource() = default;
    // The next access unit in stream order; false at the end of the stream, with error()
    // set when the end is a failure.
    virtual bool next(AccessUnit* au) = 0;
    // The next picture must be decodable on its own (after the media connection reopened).
    virtual void restart() = 0;
    double fps() const { return fps_; }
    const std::string& error() const { return error_; }

protected:
    double fps_ = 30;
    std::string error_;
};

// Builds the source the options describe; null with a reason on failure.
std::unique_ptr<VideoSource> makeVideoSource(const Options& options, std::string* error);

}  // namespace phonesim
