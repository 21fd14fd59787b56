#include "mirror/stream.h"

#include <QtDebug>

#include <chrono>
#include <climits>
#include <cstring>

#include "mirror/avlogcounter.h"
#include "mirror/decoder.h"

namespace mirror {

Stream::Stream(QObject* parent) : QThread(parent), pending_(av_packet_alloc()) {}

Stream::~Stream() {
    // A QThread destroyed while running aborts the process.
    if (isRunning()) stopDecoding();
    queue_.clear();
}

void Stream::attachDecoder(Decoder* decoder) {
    decoder_ = decoder;
}

bool Stream::startDecoding() {
    stop_.exchange(0);
    start(QThread::InheritPriority);
    return true;
}

void Stream::stopDecoding() {
    if (decoder_) decoder_->cancelWait();
    stop_.exchange(1);
    // A session that ends has no use for its backlog; decoding it first kept the caller (the
    // GUI thread at exit) waiting for seconds.
    std::list<AvPacketPtr> discarded;
    {
        std::lock_guard<std::mutex> locker(queueMutex_);
        discarded.swap(queue_);
        queuedBytes_ = 0;
    }
    queueCondition_.notify_one();
    discarded.clear();
    wait(ULONG_MAX);
    runLock_.lock();
    runLock_.unlock();
    std::lock_guard<std::mutex> locker(queueMutex_);
    if (droppedPackets_ > 1)
        qWarning("%zu packets failed: Packet queue full, dropping packets", droppedPackets_);
    droppedPackets_ = 0;
}

size_t Stream::costOf(const AVPacket* packet) {
    return (packet->size > 0 ? static_cast<size_t>(packet->size) : 0) + kPacketOverheadBytes;
}

bool Stream::queuePacket(AVPacket* packet) {
    AvPacketPtr owned(packet);
    if (!owned) return false;
    const size_t size = costOf(owned.get());
    std::lock_guard<std::mutex> locker(queueMutex_);
    if (queuedBytes_ + size > kMaxQueuedBytes) {
        // Under a lasting flood the queue is full again after every packet taken: one line per
        // connection, and the count when it stops.
        if (droppedPackets_++ == 0) qWarning("Packet queue full, dropping packets");
        return false;
    }
    queuedBytes_ += size;
    queue_.push_back(std::move(owned));
    queueCondition_.notify_one();
    return true;
}

bool Stream::takePacket(AVPacket* out) {
    std::unique_lock<std::mutex> locker(queueMutex_);
    for (;;) {
        if (stop_.load()) return false;
        if (!queue_.empty()) break;
        queueCondition_.wait_for(locker, std::chrono::milliseconds(100));
    }
    AvPacketPtr head = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= costOf(head.get());
    locker.unlock();
    av_packet_move_ref(out, head.get());
    // Parser and decoder read past the end; only a pool-backed packet has the padding.
    return av_packet_make_refcounted(out) == 0;
}

bool Stream::processPacket(AVPacket* packet) {
    const bool isConfig = packet->pts == AV_NOPTS_VALUE;
    if (hasPending_ || isConfig) {
        if (isConfig && packet->size > kMaxPendingBytes - (hasPending_ ? pending_->size : 0)) {
            // Parameter sets never come near this; a phone that sends nothing else is dropped
            // to the last block instead of growing without bound.
            qWarning("Configuration data too large, dropped");
            av_packet_unref(pending_.get());
            hasPending_ = false;
            if (packet->size > kMaxPendingBytes) return true;
        }
        int offset;
        if (hasPending_) {
            offset = pending_->size;
            if (av_grow_packet(pending_.get(), packet->size) < 0) {
                qCritical("Could not grow packet");
                return false;
            }
        } else {
            offset = 0;
            if (av_new_packet(pending_.get(), packet->size) < 0) {
                qCritical("Could not create packet");
                return false;
            }
            hasPending_ = true;
        }
        if (packet->size > 0) std::memcpy(pending_->data + offset, packet->data, packet->size);
        if (isConfig) return true;
        pending_->pts = packet->pts;
        pending_->dts = packet->dts;
        pending_->flags = packet->flags;
        packet = pending_.get();
    }
    const bool ok = parseAndDecode(packet);
    if (hasPending_) {
        hasPending_ = false;
        av_packet_unref(pending_.get());
    }
    return ok;
}

bool Stream::parseAndDecode(AVPacket* packet) {
    uint8_t* outData = nullptr;
    int outSize = 0;
    av_parser_parse2(parser_.get(), parserContext_.get(), &outData, &outSize, packet->data,
                     packet->size, AV_NOPTS_VALUE, AV_NOPTS_VALUE, -1);
    if (parser_->key_frame == 1) packet->flags |= AV_PKT_FLAG_KEY;
    if (decoder_ && !decoder_->decodePacket(packet)) {
        qCritical("Could not process frame");
        return false;
    }
    return true;
}

void Stream::run() {
    std::lock_guard<std::mutex> running(runLock_);
    parserContext_.reset();
    parser_.reset();
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec) {
        qCritical("H.264 decoder not found");
    } else if (parserContext_.reset(avcodec_alloc_context3(codec)), !parserContext_) {
        qCritical("Could not allocate codec context");
    } else if (decoder_ && !decoder_->openCodec(codec)) {
        qCritical("Could not open m_decoder");
    } else if (parser_.reset(av_parser_init(AV_CODEC_ID_H264)), !parser_) {
        qCritical("Could not initialize parser");
    } else {
        // Each packet is one whole access unit, so the parser never holds data back.
        parser_->flags |= PARSER_FLAG_COMPLETE_FRAMES;
        AvLogCounter ffmpegLog;
        ffmpegLog.watch(parserContext_.get());
        if (decoder_) ffmpegLog.watch(decoder_->context());
        AvPacketPtr packet(av_packet_alloc());
        while (packet && pending_ && takePacket(packet.get())) {
            const bool ok = processPacket(packet.get());
            av_packet_unref(packet.get());
            if (!ok) break;
        }
        qDebug("End of frames");
        if (hasPending_) {
            hasPending_ = false;
            av_packet_unref(pending_.get());
        }
        parser_.reset();
        ffmpegLog.finish();
    }
    if (decoder_) decoder_->closeCodec();
    parserContext_.reset();
    emit onStreamStop();
}

}  // namespace mirror
