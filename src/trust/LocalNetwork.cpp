#include "trust/LocalNetwork.h"

#include <QFile>

#include <ifaddrs.h>
#include <netinet/in.h>

namespace {

constexpr quint32 kRouteGateway = 0x0002;
constexpr quint32 kRouteReject = 0x0200;

std::optional<QHostAddress> addressOf(const sockaddr* address)
{
    if (!address)
        return std::nullopt;
    if (address->sa_family == AF_INET || address->sa_family == AF_INET6)
        return QHostAddress(address);
    return std::nullopt;
}

int prefixLengthOf(const QHostAddress& mask)
{
    int bits = 0;
    if (mask.protocol() == QAbstractSocket::IPv4Protocol) {
        for (quint32 m = mask.toIPv4Address(); m & 0x80000000u; m <<= 1)
            ++bits;
        return bits;
    }
    const Q_IPV6ADDR bytes = mask.toIPv6Address();
    for (quint8 byte : bytes.c) {
        for (; byte & 0x80; byte <<= 1)
            ++bits;
        if (byte != 0 || bits % 8 != 0)
            break;
    }
    return bits;
}

// A peer on an IPv4 network may arrive as an IPv4-mapped IPv6 address.
QHostAddress unmapped(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

} // namespace

QList<AttachedNetwork> interfaceNetworks(const ifaddrs* interfaces)
{
    QList<AttachedNetwork> networks;
    for (const ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
        const std::optional<QHostAddress> address = addressOf(entry->ifa_addr);
        const std::optional<QHostAddress> mask = addressOf(entry->ifa_netmask);
        if (address && mask && address->protocol() == mask->protocol())
            networks.append({*address, prefixLengthOf(*mask)});
    }
    return networks;
}

QList<AttachedNetwork> onLinkIPv6Prefixes(QByteArrayView table)
{
    QList<AttachedNetwork> prefixes;
    for (const QByteArray& line : table.toByteArray().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 10 || fields[0].size() != 32)
            continue;
        bool ok = false;
        const int length = fields[1].toInt(&ok, 16);
        const quint32 flags = fields[8].toUInt(&ok, 16);
        if (!ok || length == 0 || (flags & (kRouteGateway | kRouteReject)) ||
            fields[4] != QByteArray(32, '0'))
            continue;
        const QByteArray bytes = QByteArray::fromHex(fields[0]);
        Q_IPV6ADDR address;
        std::copy(bytes.begin(), bytes.end(), address.c);
        prefixes.append({QHostAddress(address), length});
    }
    return prefixes;
}

bool isOnLocalNetwork(const QHostAddress& peer, const QList<AttachedNetwork>& networks)
{
    const QHostAddress address = unmapped(peer);
    if (address.isLoopback() || address.isLinkLocal())
        return true;
    return std::any_of(networks.begin(), networks.end(), [&](const AttachedNetwork& network) {
        return network.prefixLength > 0 &&
               address.isInSubnet(unmapped(network.address), network.prefixLength);
    });
}

bool LocalNetworkRule::admits(const QHostAddress& peer)
{
    if (isOnLocalNetwork(peer, {}))
        return true;
    if (stale_.hasExpired()) {
        networks_ = source_();
        stale_.setRemainingTime(1000);
    }
    return isOnLocalNetwork(peer, networks_);
}

LocalNetworkRule::Source LocalNetworkRule::system()
{
    return [] {
        QList<AttachedNetwork> networks;
        ifaddrs* interfaces = nullptr;
        if (getifaddrs(&interfaces) == 0) {
            networks = interfaceNetworks(interfaces);
            freeifaddrs(interfaces);
        }
        QFile routes(QStringLiteral("/proc/net/ipv6_route"));
        if (routes.open(QIODevice::ReadOnly))
            networks += onLinkIPv6Prefixes(routes.readAll());
        return networks;
    };
}
