// Discovery: adapter listing and filtering, the datagram text, and real broadcasts received on
// loopback (127.x only; the test main restricts the adapters to loopback).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <cstdlib>
#include <memory>
#include <unistd.h>

#include "mirror/scanserver.h"
#include "platform/netif.h"

namespace {

// A private 127.0.N.0/24 per process, so parallel test runs never hear each other.
QString privateNet() {
    return QString("127.0.%1.").arg(10 + ::getpid() % 200);
}

// Waits for the datagrams of the given senders; returns the payloads in arrival order.
QList<QByteArray> receive(QUdpSocket& sock, int count, int timeoutMs) {
    QList<QByteArray> got;
    QElapsedTimer t;
    t.start();
    while (got.size() < count && t.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        while (sock.hasPendingDatagrams()) got.append(sock.receiveDatagram().data());
    }
    return got;
}

struct EnvGuard {
    std::string saved;
    bool had;
    explicit EnvGuard(const char* value) {
        const char* old = std::getenv("KIVOCAM_ADAPTERS");
        had = old != nullptr;
        if (had) saved = old;
        ::setenv("KIVOCAM_ADAPTERS", value, 1);
    }
    ~EnvGuard() {
        if (had) {
            ::setenv("KIVOCAM_ADAPTERS", saved.c_str(), 1);
        } else {
            ::unsetenv("KIVOCAM_ADAPTERS");
        }
    }
};

}  // namespace

// The datagram is the compact sorted JSON object with a trailing line feed, nothing else.
TEST(Discovery, DatagramText) {
    EXPECT_EQ(discoveryDatagram("KivoCam[host]", "192.168.1.20", 10080),
              "{\"ip\":\"192.168.1.20\",\"name\":\"KivoCam[host]\",\"port\":10080}\n");
    // A non-ASCII device name travels as its UTF-8 bytes, quotes escaped.
    EXPECT_EQ(discoveryDatagram(QString::fromUtf8("客厅 \"PC\""), "10.0.0.5", 10081),
              "{\"ip\":\"10.0.0.5\",\"name\":\"客厅 \\\"PC\\\"\",\"port\":10081}\n");
    EXPECT_EQ(broadcastAddressFor("10.0.0.5"), "10.0.0.255");
    EXPECT_EQ(broadcastAddressFor("127.0.0.2"), "127.0.0.255");
    EXPECT_EQ(broadcastAddressFor("fe80::1"), "");
    EXPECT_EQ(broadcastAddressFor("1.2"), "");
}

// The adapter list comes from the override in tests; its filter drops hypervisor and virtual
// adapters in any letter case, missing addresses and 127.0.0.1.
TEST(Discovery, AdapterListAndFilter) {
    std::vector<AdapterInfo> list;
    ASSERT_TRUE(listAdapters(list));  // the test main's loopback adapter
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name, "lo0");
    EXPECT_EQ(list[0].description, "Test adapter");
    EXPECT_EQ(list[0].ip, "127.0.0.2");

    {
        EnvGuard env("");
        std::vector<AdapterInfo> none;
        EXPECT_FALSE(listAdapters(none));
        EXPECT_TRUE(none.empty());
    }
    {
        EnvGuard env(
            "a|VMware Network Adapter VMnet8|127.0.5.1;b|Hyper-V virtual ethernet|"
            "127.0.6.1;c|Realtek PCIe|0.0.0.0;d|Loop|127.0.0.1;e|Intel LAN|127.0.7.9;"
            "broken entry;f|VIRTUALBOX host-only|127.0.8.1;g|Wi-Fi|127.0.9.9");
        std::vector<AdapterInfo> all;
        ASSERT_TRUE(listAdapters(all));
        EXPECT_EQ(all.size(), 7u);
        const std::vector<AdapterInfo> usable = usableAdapters(all);
        ASSERT_EQ(usable.size(), 2u);
        EXPECT_EQ(usable[0].ip, "127.0.7.9");
        EXPECT_EQ(usable[1].ip, "127.0.9.9");
    }
}

// Real interfaces: loopback lives under the virtual devices and so is never advertised.
TEST(Discovery, RealInterfacesMarkLoopbackVirtual) {
    EnvGuard env("x|y|127.0.0.3");
    ::unsetenv("KIVOCAM_ADAPTERS");
    std::vector<platform::NetInterface> list;
    ASSERT_TRUE(platform::listNetInterfaces(list));
    bool sawLoopback = false;
    for (const auto& n : list) {
        if (n.ip == "127.0.0.1") {
            sawLoopback = true;
            EXPECT_NE(n.description.find("Virtual"), std::string::npos) << n.description;
        }
    }
    EXPECT_TRUE(sawLoopback);
}

// A ScanServer broadcasts its own address, name and port to its /24 every two seconds, and
// stops when told to.
TEST(Discovery, ScanServerBroadcasts) {
    const QString net = privateNet();
    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress(net + "255"), 0));
    const quint16 udpPort = receiver.localPort();

    ScanServer server;
    server.configure(net + "255", udpPort, "Desk PC", net + "7", 10099);
    EXPECT_FALSE(server.isListening());  // starts from the event loop
    const QList<QByteArray> got = receive(receiver, 2, 6000);
    ASSERT_EQ(got.size(), 2);
    const QByteArray want = QByteArray("{\"ip\":\"") + (net + "7").toUtf8() +
                            "\",\"name\":\"Desk PC\",\"port\":10099}\n";
    EXPECT_EQ(got[0], want);
    EXPECT_EQ(got[1], want);

    server.stopListening();
    EXPECT_TRUE(receive(receiver, 1, 2500).isEmpty());
    server.broadcast();  // without a socket: nothing
    EXPECT_TRUE(receive(receiver, 1, 300).isEmpty());
}

// Starting discovery: one broadcaster per address on UDP 5008, each to its own /24 with the
// same name and port; an address that is not dotted IPv4 ends the list.
TEST(Discovery, StartDiscoveryPerAddress) {
    const QString netA = privateNet();
    const QString netB = QString("127.1.%1.").arg(10 + ::getpid() % 200);
    QUdpSocket rxA, rxB;
    ASSERT_TRUE(rxA.bind(QHostAddress(netA + "255"), kDiscoveryUdpPort));
    ASSERT_TRUE(rxB.bind(QHostAddress(netB + "255"), kDiscoveryUdpPort));

    QObject parent;
    const QList<ScanServer*> servers =
        startDiscovery(&parent, {netA + "2", netB + "3", "not-an-ip", "127.0.0.9"}, "PC", 10081);
    ASSERT_EQ(servers.size(), 2);
    EXPECT_EQ(servers[0]->broadcastAddress(), netA + "255");
    EXPECT_EQ(servers[1]->broadcastAddress(), netB + "255");
    EXPECT_EQ(servers[0]->parent(), &parent);

    const QList<QByteArray> a = receive(rxA, 1, 5000);
    const QList<QByteArray> b = receive(rxB, 1, 3000);
    ASSERT_EQ(a.size(), 1);
    ASSERT_EQ(b.size(), 1);
    EXPECT_EQ(a[0], QByteArray("{\"ip\":\"") + (netA + "2").toUtf8() +
                        "\",\"name\":\"PC\",\"port\":10081}\n");
    EXPECT_EQ(b[0], QByteArray("{\"ip\":\"") + (netB + "3").toUtf8() +
                        "\",\"name\":\"PC\",\"port\":10081}\n");
}
