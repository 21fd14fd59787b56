#include "mirror/scanserver.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QRegExp>
#include <QTimerEvent>

#include <json/json.h>

#include "mirror/command.h"

#include "platform/netif.h"

bool listAdapters(std::vector<AdapterInfo>& out) {
    std::vector<platform::NetInterface> list;
    if (!platform::listNetInterfaces(list) || list.empty()) return false;
    for (const platform::NetInterface& n : list)
        out.push_back({n.name, n.description, n.ip.empty() ? "0.0.0.0" : n.ip});
    return true;
}

bool isUsableAdapter(const AdapterInfo& adapter) {
    const QString desc = QString::fromStdString(adapter.description);
    return !desc.contains("vmware", Qt::CaseInsensitive) &&
           !desc.contains("virtual", Qt::CaseInsensitive) && adapter.ip != "0.0.0.0" &&
           adapter.ip != "127.0.0.1";
}

std::vector<AdapterInfo> usableAdapters(const std::vector<AdapterInfo>& adapters) {
    std::vector<AdapterInfo> usable;
    for (const AdapterInfo& a : adapters) {
        if (isUsableAdapter(a)) usable.push_back(a);
    }
    return usable;
}

std::string discoveryDatagram(const QString& name, const QString& ip, quint16 port) {
    Json::Value root;
    root["ip"] = ip.toStdString();
    root["name"] = name.toStdString();
    root["port"] = static_cast<Json::UInt>(port);
    return mirror::compactJson(root);
}

QString broadcastAddressFor(const QString& ip) {
    QRegExp rx("(?:\\d{1,3}\\.){3}", Qt::CaseSensitive, QRegExp::RegExp);
    if (rx.indexIn(ip) < 0) return QString();
    return rx.cap(0) + "255";
}

ScanServer::ScanServer(QObject* parent) : QObject(parent) {}

ScanServer::~ScanServer() {
    stopListening();
}

void ScanServer::configure(const QString& broadcastAddress, int udpPort, const QString& name,
                           const QString& ip, quint16 port) {
    broadcastAddress_ = broadcastAddress;
    udpPort_ = udpPort;
    name_ = name;
    ip_ = ip;
    port_ = port;
    QMetaObject::invokeMethod(this, "startListening", Qt::QueuedConnection);
}

void ScanServer::startListening() {
    stopListening();
    socket_ = QSharedPointer<QUdpSocket>(new QUdpSocket(this));
    timerId_ = startTimer(2000, Qt::CoarseTimer);
}

void ScanServer::stopListening() {
    if (timerId_ != 0) {
        killTimer(timerId_);
        timerId_ = 0;
    }
    if (socket_) {
        socket_->close();
        socket_.reset();
    }
}

void ScanServer::timerEvent(QTimerEvent* event) {
    if (event->timerId() == timerId_) broadcast();
}

void ScanServer::broadcast() {
    if (!socket_) return;
    const std::string text = discoveryDatagram(name_, ip_, port_);
    // Errors are left alone: the next tick tries again.
    socket_->writeDatagram(text.data(), static_cast<qint64>(text.size()),
                           QHostAddress(broadcastAddress_), static_cast<quint16>(udpPort_));
}

QList<ScanServer*> startDiscovery(QObject* parent, const QStringList& addresses,
                                  const QString& name, quint16 commandPort) {
    QList<ScanServer*> servers;
    for (const QString& ip : addresses) {
        const QString broadcast = broadcastAddressFor(ip);
        if (broadcast.isEmpty()) break;
        auto* server = new ScanServer(parent);
        server->configure(broadcast, kDiscoveryUdpPort, name, ip, commandPort);
        servers.append(server);
    }
    return servers;
}
