#include "imagescaler.h"

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "kivobridge/log.h"

namespace kivo {

ImageScaler::~ImageScaler() {
    sws_freeContext(ctx_);
    av_frame_free(&out_);
}

void ImageScaler::init(int src_w, int src_h, int src_fmt, int dst_w, int dst_h, int dst_fmt) {
    if (ctx_ && src_w == src_w_ && src_h == src_h_ && src_fmt == src_fmt_ && dst_w == dst_w_ &&
        dst_h == dst_h_ && dst_fmt == dst_fmt_) {
        LOGD("--画面不需要转换--");
        return;
    }
    ctx_ = sws_getCachedContext(ctx_, src_w, src_h, static_cast<AVPixelFormat>(src_fmt), dst_w,
                                dst_h, static_cast<AVPixelFormat>(dst_fmt), SWS_FAST_BILINEAR,
                                nullptr, nullptr, nullptr);
    LOGD("---> 初始化 sws，(%dx%d,%d) --> (%dx%d,%d)", src_w, src_h, src_fmt, dst_w, dst_h,
         dst_fmt);
    src_w_ = src_w;
    src_h_ = src_h;
    src_fmt_ = src_fmt;
    dst_w_ = dst_w;
    dst_h_ = dst_h;
    dst_fmt_ = dst_fmt;

    av_frame_free(&out_);
    out_ = av_frame_alloc();
    if (!out_) return;
    out_->width = dst_w;
    out_->height = dst_h;
    out_->format = dst_fmt;
    if (av_frame_get_buffer(out_, 32) < 0) av_frame_free(&out_);
}

bool ImageScaler::scale(const AVFrame* in, AVFrame** out) {
    if (!ctx_ || !out_) {
        *out = const_cast<AVFrame*>(in);
        return true;
    }
    // The encoder may still hold the previous picture; never scale into a shared buffer.
    if (av_frame_make_writable(out_) < 0) {
        *out = const_cast<AVFrame*>(in);
        return true;
    }
    sws_scale(ctx_, in->data, in->linesize, 0, in->height, out_->data, out_->linesize);
    out_->pts = in->pts;
    *out = out_;
    return true;
}

}  // namespace kivo
