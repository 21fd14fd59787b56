// Writes pictures as a YUV4MPEG2 stream (4:2:0, progressive, 30 fps nominal). The stream header
// carries one size for the whole stream, so the first picture fixes it and later pictures of
// another size are letterboxed into it. Thread rules: one thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "letterbox.h"

namespace vcam {

class Y4mWriter {
public:
    // path "-" is standard output. False when the file cannot be opened.
    bool open(const std::string& path);
    // Writes one picture (the header first, before the first one). False on a write error.
    bool write(const I420View& picture);
    bool flush();
    int width() const { return width_; }
    int height() const { return height_; }

private:
    struct Closer {
        void operator()(std::FILE* f) const;
    };
    std::unique_ptr<std::FILE, Closer> file_;
    int width_ = 0;
    int height_ = 0;
    std::vector<uint8_t> frame_;
};

}  // namespace vcam
