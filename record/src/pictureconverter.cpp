#include "record/pictureconverter.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/rotate_argb.h>
#include <libyuv/scale_argb.h>

#include "kivobridge/log.h"

namespace {

void releaseNode(void* info) {
    auto* node = static_cast<pp::FLMemNode*>(info);
    pp::release_pnode(&node);
}

}  // namespace

// Format_ARGB32 is libyuv's ARGB byte order (B, G, R, A in memory) on little-endian machines.
QImage PictureConverter::wrapNode(pp::FLMemNode* node, int width, int height) {
    QImage image(node->buffer, width, height, width * 4, QImage::Format_ARGB32, releaseNode, node);
    if (image.isNull()) releaseNode(node);  // Qt calls the clean-up only for a valid image
    return image;
}

I420FramePtr PictureConverter::convert(const QImage& picture) const {
    const int w = size_.width();
    const int h = size_.height();
    if (picture.isNull() || w <= 0 || h <= 0) return nullptr;

    // The renderer's read-back is bottom-up.
    QImage pic = picture.mirrored(false, true).convertToFormat(QImage::Format_ARGB32);
    if (pic.isNull()) return nullptr;

    if (isLandscape(pic.size()) != isLandscape(size_)) {
        pp::FLMemNode* node = pool_->require(static_cast<size_t>(pic.sizeInBytes()));
        if (!node) {
            LOGE("Recoder rotate fail, error [require_pnode return nullptr]!");
            return nullptr;
        }
        const int tw = pic.height();
        const int th = pic.width();
        libyuv::ARGBRotate(pic.constBits(), pic.bytesPerLine(), node->buffer, tw * 4, pic.width(),
                           pic.height(),
                           isLandscape(pic.size()) ? libyuv::kRotate90 : libyuv::kRotate270);
        pic = wrapNode(node, tw, th);
        if (pic.isNull()) return nullptr;
    }

    if (pic.size() != size_) {
        pp::FLMemNode* node = pool_->require(static_cast<size_t>(w) * h * 4);
        if (!node) {
            LOGE("Recoder scale fail, error [require_pnode return nullptr]!");
            return nullptr;
        }
        libyuv::ARGBScale(pic.constBits(), pic.bytesPerLine(), pic.width(), pic.height(),
                          node->buffer, w * 4, w, h, libyuv::kFilterBox);
        pic = wrapNode(node, w, h);
        if (pic.isNull()) return nullptr;
    }

    pp::FLMemNode* node = pool_->require(I420Frame::bufferSize(h, w, w / 2, w / 2, w));
    if (!node) {
        LOGE("Recoder convert fail, error [require_pnode return nullptr]!");
        return nullptr;
    }
    auto frame = std::make_shared<I420Frame>(node->buffer, w, w / 2, w / 2, w, h,
                                             [node]() mutable { pp::release_pnode(&node); });
    libyuv::ARGBToI420(pic.constBits(), pic.bytesPerLine(), frame->dataY(), frame->strideY(),
                       frame->dataU(), frame->strideU(), frame->dataV(), frame->strideV(), w, h);
    return frame;
}
