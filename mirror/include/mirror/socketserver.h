// The main window's handle on mirroring: owns the mirror server and relays its signals under
// its own names (pictures and events queued to the owner's thread, audio direct).
// Thread rules: everything on the main thread; sig_MirrorAudioFrame is emitted on a streaming
// media server's thread, sig_MirrorDecodedFrame on the decoding thread.
#pragma once

#include <QObject>
#include <QSharedPointer>
#include <QString>

#include "mirror/kivospmirrorserver.h"
#include "mirror/pcmframe.h"
#include "mirror/videoframe.h"

class SocketServer : public QObject {
    Q_OBJECT
public:
    explicit SocketServer(QObject* parent = nullptr);
    ~SocketServer() override;

    // Values from the configuration store for the mirror server; set before startServer.
    void setHostConfig(MirrorHostConfig config) { config_ = std::move(config); }
    void startServer();
    void stopServer();

    KivospMirrorServer* mirrorServer() const { return server_.data(); }

signals:
    void sig_MirrorInConnected(QString serial, QString name);
    void sig_MirrorOutConnected(QString serial);
    void sig_MirrorVideoFrame(I420FramePtr frame);
    // The same pictures, direct from the decoder: for consumers that must not wait for the GUI.
    void sig_MirrorDecodedFrame(I420FramePtr frame);
    void sig_MirrorAudioFrame(PcmFramePtr frame);
    void sig_shotScreen();
    void sig_recordFrame(bool state);

private:
    QSharedPointer<KivospMirrorServer> server_;
    MirrorHostConfig config_;
};
