#include "kivobridge/pool.h"
#include "mirror/screenmirrorserver.h"

ScreenMirrorServer::ScreenMirrorServer(QObject* parent)
    : QObject(parent), framePool_(framePool()) {}

ScreenMirrorServer::~ScreenMirrorServer() = default;

pp::Abstract_PacketPool* ScreenMirrorServer::framePool() {
    static pp::Abstract_PacketPool* const pool = pp::create_pktpool("framePool", nullptr);
    return pool;
}
