// One connected phone's decoding pipeline: owns the stream thread, the decoder and the two-frame
// video buffer, and turns each decoded picture into an I420Frame on a frame-pool buffer.
// Thread rules: construction and destruction on the owner's thread (destruction joins the
// decoding thread); stream()->queuePacket() from any thread; sigVideoFrame is emitted on the
// decoding thread.
#pragma once

#include <QObject>
#include <QSharedPointer>

#include <memory>

#include "mirror/decoder.h"
#include "mirror/stream.h"
#include "mirror/videobuffer.h"
#include "mirror/videoframe.h"

namespace pp {
class Abstract_PacketPool;
}

class MirrorConnection : public QObject {
    Q_OBJECT
public:
    // The frame pool is not owned and must outlive the connection.
    explicit MirrorConnection(pp::Abstract_PacketPool* framePool, QObject* parent = nullptr);
    ~MirrorConnection() override;

    // Where the compressed packets go; null only if the stream could not be built.
    mirror::Stream* stream() const { return stream_.data(); }

signals:
    void sigVideoFrame(I420FramePtr frame);

private:
    void onNewFrame();

    QSharedPointer<mirror::Stream> stream_;
    QSharedPointer<mirror::Decoder> decoder_;
    std::unique_ptr<mirror::VideoBuffer> videoBuffer_;
    pp::Abstract_PacketPool* framePool_;
    int unsupportedFormat_ = -1;  // decoding thread only: the format last refused, for one log
};
