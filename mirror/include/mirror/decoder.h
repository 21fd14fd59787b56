// Owns one H.264 decoding context: sends compressed packets in and publishes each decoded picture
// into the video buffer, emitting onNewFrame when the consumer has a fresh picture to take.
// Thread rules: everything on the decoding thread except cancelWait() (any thread);
// onNewFrame is emitted on the decoding thread.
#pragma once

#include <QByteArray>
#include <QObject>

#include "mirror/avhandles.h"

namespace mirror {

class VideoBuffer;

class Decoder : public QObject {
    Q_OBJECT
public:
    // The buffer is not owned and must outlive the decoding.
    explicit Decoder(VideoBuffer* videoBuffer, QObject* parent = nullptr);
    ~Decoder() override;

    bool openCodec(const AVCodec* codec);
    // Also logs how many packets were rejected when more than the first (which is logged at
    // once).
    void closeCodec();
    // False only on a receive error that ends decoding; a rejected packet is dropped and true.
    bool decodePacket(AVPacket* packet);
    void cancelWait();
    // The codec context while open (FFmpeg logs with it); null otherwise.
    const AVCodecContext* context() const { return codecContext_.get(); }

signals:
    void onNewFrame();

private:
    VideoBuffer* videoBuffer_;
    AvCodecContextPtr codecContext_;
    bool isOpen_ = false;
    // A phone sending undecodable packets would otherwise write one line per packet.
    int rejectedPackets_ = 0;
    QByteArray lastRejection_;
};

}  // namespace mirror
