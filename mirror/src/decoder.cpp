#include "mirror/decoder.h"

#include <QtDebug>

#include "mirror/videobuffer.h"

namespace mirror {

Decoder::Decoder(VideoBuffer* videoBuffer, QObject* parent)
    : QObject(parent), videoBuffer_(videoBuffer) {}

Decoder::~Decoder() {
    closeCodec();
}

bool Decoder::openCodec(const AVCodec* codec) {
    closeCodec();
    codecContext_.reset(avcodec_alloc_context3(codec));
    if (!codecContext_) {
        qCritical("Could not allocate decoder context");
        return false;
    }
    if (avcodec_open2(codecContext_.get(), codec, nullptr) < 0) {
        qCritical("Could not open H.264 codec");
        return false;
    }
    isOpen_ = true;
    return true;
}

void Decoder::closeCodec() {
    if (rejectedPackets_ > 1)
        qCritical("%d video packets failed: Could not send video packet: %s", rejectedPackets_,
                  lastRejection_.constData());
    rejectedPackets_ = 0;
    // Freeing the context closes it as well.
    codecContext_.reset();
    isOpen_ = false;
}

bool Decoder::decodePacket(AVPacket* packet) {
    if (!codecContext_ || !videoBuffer_) return false;
    int ret = avcodec_send_packet(codecContext_.get(), packet);
    if (ret < 0) {
        char text[255] = {0};
        av_strerror(ret, text, sizeof(text) - 1);
        if (rejectedPackets_++ == 0) qCritical("Could not send video packet: %s", text);
        lastRejection_ = text;
        return true;
    }
    AVFrame* target = videoBuffer_->decodeTarget();
    if (!target) return true;
    ret = avcodec_receive_frame(codecContext_.get(), target);
    if (ret == 0) {
        bool droppedPrevious = false;
        videoBuffer_->publishDecoded(&droppedPrevious);
        if (!droppedPrevious) emit onNewFrame();
        return true;
    }
    if (ret == AVERROR(EAGAIN)) return true;
    qCritical("Could not receive video frame: %d", ret);
    return false;
}

void Decoder::cancelWait() {
    if (videoBuffer_) videoBuffer_->cancelWait();
}

}  // namespace mirror
