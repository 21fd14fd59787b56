// Discovery: the host's usable IPv4 addresses and one broadcaster per address that tells phones
// on the /24 where the command server listens.
// Thread rules: a ScanServer lives on the thread that created it (the main thread); its timer,
// socket and slots run there. The free functions may be called from any thread.
#pragma once

#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QUdpSocket>

#include <string>
#include <vector>

struct AdapterInfo {
    std::string name;
    std::string description;
    std::string ip;
};

// Appends the host's adapters with an IPv4 address; false when there are none.
bool listAdapters(std::vector<AdapterInfo>& out);
// Whether discovery may advertise this adapter: no hypervisor or virtual adapter, no missing
// or loopback address.
bool isUsableAdapter(const AdapterInfo& adapter);
// The usable adapters of the list, in order.
std::vector<AdapterInfo> usableAdapters(const std::vector<AdapterInfo>& adapters);

// The compact JSON text of one discovery datagram, ending with a line feed.
std::string discoveryDatagram(const QString& name, const QString& ip, quint16 port);
// The /24 broadcast address advertised for ip ("10.0.0.5" -> "10.0.0.255"); empty when ip does
// not start with three dotted numbers.
QString broadcastAddressFor(const QString& ip);

constexpr int kDiscoveryUdpPort = 5008;

class ScanServer : public QObject {
    Q_OBJECT
public:
    explicit ScanServer(QObject* parent = nullptr);
    ~ScanServer() override;

    // Stores the values and starts broadcasting once control returns to the event loop.
    void configure(const QString& broadcastAddress, int udpPort, const QString& name,
                   const QString& ip, quint16 port);

    QString broadcastAddress() const { return broadcastAddress_; }
    QString ip() const { return ip_; }
    QString name() const { return name_; }
    quint16 port() const { return port_; }
    bool isListening() const { return !socket_.isNull(); }

public slots:
    void broadcast();
    void startListening();
    void stopListening();

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    QSharedPointer<QUdpSocket> socket_;
    QString broadcastAddress_;
    int udpPort_ = kDiscoveryUdpPort;
    QString name_;
    QString ip_;
    quint16 port_ = 0;
    int timerId_ = 0;
};

// Starts one ScanServer (child of parent) per address, in order, advertising name and the
// command port; stops at the first address that does not look like an IPv4 address. Returns
// the servers created.
QList<ScanServer*> startDiscovery(QObject* parent, const QStringList& addresses,
                                  const QString& name, quint16 commandPort);
