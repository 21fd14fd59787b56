// Converts pictures of one size and pixel format into the encoder's size and pixel format,
// writing into one output frame it owns.
// Thread rules: none inside; used by the single thread that drives its muxer.
#pragma once

struct AVFrame;
struct SwsContext;

namespace kivo {

class ImageScaler {
public:
    ImageScaler() = default;
    virtual ~ImageScaler();
    ImageScaler(const ImageScaler&) = delete;
    ImageScaler& operator=(const ImageScaler&) = delete;

    // Prepares the context and the output frame; keeps both when nothing changed. Pixel formats
    // are AVPixelFormat values.
    void init(int src_w, int src_h, int src_fmt, int dst_w, int dst_h, int dst_fmt);
    // Always true. *out is the scaler's output frame (valid until the next scale() or init()),
    // or the input itself when there is no context.
    bool scale(const AVFrame* in, AVFrame** out);

    bool has_context() const { return ctx_ != nullptr; }
    const AVFrame* output_frame() const { return out_; }

private:
    SwsContext* ctx_ = nullptr;
    int src_w_ = 0, src_h_ = 0, src_fmt_ = 0;
    int dst_w_ = 0, dst_h_ = 0, dst_fmt_ = 0;
    AVFrame* out_ = nullptr;  // owned
};

}  // namespace kivo
