#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

struct ifaddrs;

// The pairing address is the IPv4 address of one named interface: the first
// entry of that name whose address converts, IPv4 only, no fallback to others.
std::optional<QString> selectIPv4Address(const ifaddrs* interfaces,
                                         const QByteArray& interfaceName);

// Which interface pairs: the one carrying the IPv4 default route with the
// lowest metric (`routeTable` in the format of /proc/net/route); without a
// default route, the first interface that is up, not loopback, and has an IPv4
// address.
std::optional<QByteArray> choosePairingInterface(QByteArrayView routeTable,
                                                 const ifaddrs* interfaces);

// Where discovery reads the system from; tests hand in their own.
struct InterfaceSource
{
    std::function<int(ifaddrs**)> query;
    std::function<void(ifaddrs*)> release;
    QString routeTablePath = QStringLiteral("/proc/net/route");

    static InterfaceSource system();
};

// One address a phone may reach this computer at, and the interface it is on.
struct PairingCandidate
{
    QByteArray interfaceName;
    QString address;
    bool operator==(const PairingCandidate&) const = default;
};

// Whether the interface is a tunnel (a VPN): named tun*, wg* or ppp*, or a
// link without a hardware address (from its AF_PACKET entry).
bool isTunnel(const ifaddrs* interfaces, const QByteArray& interfaceName);

// Every interface that is up, not loopback and has an IPv4 address, the
// preferred first: the one choosePairingInterface names, unless that is a
// tunnel and another candidate has a private address, which a phone on the
// same Wi-Fi can reach where it cannot reach the tunnel's.
QList<PairingCandidate> pairingCandidates(QByteArrayView routeTable, const ifaddrs* interfaces);

// The candidates of the system `source` reads; none when it cannot be read.
QList<PairingCandidate> discoverCandidates(const InterfaceSource& source);

// What the pairing code holds for an address.
QString pairingCodeContent(const QString& address);

// Where a phone's browser finds the controller page, served on the server's port.
QString controllerPageAddress(const QString& address);
// The same page over TLS, where the browser lets it read the motion sensors.
QString secureControllerPageAddress(const QString& address);
