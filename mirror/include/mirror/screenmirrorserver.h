// Base of a mirror server: the signals that carry connection events, pictures and audio to the
// rest of the program, and the process-wide frame pool that holds their buffers.
// Thread rules: the signals are emitted on the server threads (pictures on a decoding thread);
// framePool() from any thread.
#pragma once

#include <QObject>
#include <QString>

#include "mirror/pcmframe.h"
#include "mirror/videoframe.h"

namespace pp {
class Abstract_PacketPool;
}

class ScreenMirrorServer : public QObject {
    Q_OBJECT
public:
    explicit ScreenMirrorServer(QObject* parent = nullptr);
    ~ScreenMirrorServer() override;

    virtual void start() {}
    virtual void stop() {}

    // Created on first use and kept for the life of the process (frames may outlive servers).
    static pp::Abstract_PacketPool* framePool();

signals:
    void MirrorInConnected(QString serial, QString name);
    void MirrorOutConnected(QString serial, QString name);
    void MirrorDisconnected(QString serial);
    void MirrorVideoFrame(I420FramePtr frame);
    void MirrirAudioFrame(PcmFramePtr frame);

protected:
    pp::Abstract_PacketPool* framePool_;
};
