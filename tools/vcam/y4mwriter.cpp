#include "y4mwriter.h"

namespace vcam {

void Y4mWriter::Closer::operator()(std::FILE* f) const {
    if (f != stdout) std::fclose(f);
}

bool Y4mWriter::open(const std::string& path) {
    std::FILE* f = path == "-" ? stdout : std::fopen(path.c_str(), "wb");
    if (!f) return false;
    file_.reset(f);
    return true;
}

bool Y4mWriter::write(const I420View& picture) {
    if (!file_) return false;
    if (width_ == 0) {
        width_ = picture.width;
        height_ = picture.height;
        frame_.resize(static_cast<size_t>(width_) * height_ +
                      2 * static_cast<size_t>(width_ / 2) * (height_ / 2));
        if (std::fprintf(file_.get(), "YUV4MPEG2 W%d H%d F30:1 Ip A1:1 C420jpeg\n", width_,
                         height_) < 0)
            return false;
    }
    letterbox(picture, frame_.data(), width_, height_);
    return std::fputs("FRAME\n", file_.get()) >= 0 &&
           std::fwrite(frame_.data(), 1, frame_.size(), file_.get()) == frame_.size();
}

bool Y4mWriter::flush() {
    return file_ && std::fflush(file_.get()) == 0;
}

}  // namespace vcam
