#include "ffmpeg.h"

namespace phonesim {

AvFormatInputPtr openInput(const std::string& path, std::string* error) {
    AVFormatContext* raw = nullptr;
    int rc = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (rc < 0) {
        *error = "cannot open " + path + ": " + avError(rc);
        return nullptr;
    }
    AvFormatInputPtr input(raw);
    rc = avformat_find_stream_info(input.get(), nullptr);
    if (rc < 0) {
        *error = "cannot read " + path + ": " + avError(rc);
        return nullptr;
    }
    return input;
}

}  // namespace phonesim
