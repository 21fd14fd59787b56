#include "kivobridge/log.h"
#include "kivobridge/pool.h"
#include "mirror/mirrorconnection.h"

#include <cstring>

extern "C" {
#include <libavutil/pixfmt.h>
}

MirrorConnection::MirrorConnection(pp::Abstract_PacketPool* framePool, QObject* parent)
    : QObject(parent), videoBuffer_(new mirror::VideoBuffer), framePool_(framePool) {
    videoBuffer_->allocateFrames(false);
    decoder_.reset(new mirror::Decoder(videoBuffer_.get(), this));
    stream_.reset(new mirror::Stream(this));
    connect(decoder_.data(), &mirror::Decoder::onNewFrame, this, &MirrorConnection::onNewFrame,
            Qt::DirectConnection);
    if (decoder_) {
        stream_->attachDecoder(decoder_.data());
        stream_->startDecoding();
    }
}

MirrorConnection::~MirrorConnection() {
    if (stream_) stream_->stopDecoding();
    videoBuffer_->releaseFrames();
    // Children held by shared pointers go before QObject's own child clean-up would reach them.
    stream_.reset();
    decoder_.reset();
    videoBuffer_.reset();
}

void MirrorConnection::onNewFrame() {
    videoBuffer_->lock();
    if (!framePool_) {
        videoBuffer_->unlock();
        return;
    }
    const AVFrame* frame = videoBuffer_->takeDisplayFrame();
    const int l0 = frame->linesize[0];
    const int l1 = frame->linesize[1];
    const int l2 = frame->linesize[2];
    const int width = frame->width;
    const int height = frame->height;
    // Only 8-bit planar 4:2:0 has the layout copied below; a monochrome or 4:4:4 stream from a
    // phone would otherwise be read through missing or differently sized planes.
    const bool usable =
        (frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P) && l0 > 0 &&
        l1 > 0 && l2 > 0 && width > 0 && height > 0;
    if (!usable) {
        if (frame->format != unsupportedFormat_) {
            unsupportedFormat_ = frame->format;
            LOGW("Unsupported picture format %d, pictures dropped", frame->format);
        }
        videoBuffer_->unlock();
        return;
    }
    const int chromaHeight = I420Frame::chromaHeight(height);
    const size_t size =
        static_cast<size_t>(l0) * height * 2 + static_cast<size_t>(l1 + l2) * chromaHeight;
    pp::FLMemNode* node = framePool_->require(size);
    if (!node) {
        videoBuffer_->unlock();
        return;
    }
    auto picture = std::make_shared<I420Frame>(node->buffer, l0, l1, l2, width, height,
                                               [node]() mutable { pp::release_pnode(&node); });
    std::memcpy(picture->dataY(), frame->data[0], static_cast<size_t>(l0) * height);
    std::memcpy(picture->dataU(), frame->data[1], static_cast<size_t>(l1) * chromaHeight);
    std::memcpy(picture->dataV(), frame->data[2], static_cast<size_t>(l2) * chromaHeight);
    if (bg::CD) {
        picture->setTimeUs(bg::CD->utility()->clock());
        LOGD("[stats]picture decoded at %lld us", static_cast<long long>(picture->timeUs()));
    }
    emit sigVideoFrame(picture);
    picture.reset();
    videoBuffer_->unlock();
}
