#include "mirror/socketserver.h"

SocketServer::SocketServer(QObject* parent) : QObject(parent) {}

SocketServer::~SocketServer() {
    stopServer();
}

void SocketServer::startServer() {
    server_.reset(new KivospMirrorServer(config_));
    KivospMirrorServer* s = server_.data();
    connect(s, &ScreenMirrorServer::MirrorInConnected, this, &SocketServer::sig_MirrorInConnected,
            Qt::QueuedConnection);
    connect(s, &ScreenMirrorServer::MirrorDisconnected, this, &SocketServer::sig_MirrorOutConnected,
            Qt::QueuedConnection);
    connect(s, &ScreenMirrorServer::MirrorVideoFrame, this, &SocketServer::sig_MirrorVideoFrame,
            Qt::QueuedConnection);
    connect(s, &ScreenMirrorServer::MirrorVideoFrame, this, &SocketServer::sig_MirrorDecodedFrame,
            Qt::DirectConnection);
    connect(s, &ScreenMirrorServer::MirrirAudioFrame, this, &SocketServer::sig_MirrorAudioFrame,
            Qt::DirectConnection);
    connect(s, &KivospMirrorServer::sig_shotScreen, this, &SocketServer::sig_shotScreen,
            Qt::QueuedConnection);
    connect(s, &KivospMirrorServer::sig_recordFrame, this, &SocketServer::sig_recordFrame,
            Qt::QueuedConnection);
    s->start();
}

void SocketServer::stopServer() {
    if (!server_) return;
    server_->stop();
    server_.reset();
}
