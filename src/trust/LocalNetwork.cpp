#include "trust/LocalNetwork.h"

#include <QNetworkInterface>

#include <ifaddrs.h>
#include <netinet/in.h>

namespace {

std::optional<QHostAddress> addressOf(const sockaddr* address)
{
    if (!address)
        return std::nullopt;
    if (address->sa_family == AF_INET)
        return QHostAddress(address);
    if (address->sa_family != AF_INET6)
        return std::nullopt;
    // QHostAddress leaves out the scope, which tells links apart.
    QHostAddress v6(address);
    if (const auto scope = reinterpret_cast<const sockaddr_in6*>(address)->sin6_scope_id)
        v6.setScopeId(QString::number(scope));
    return v6;
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

// Sockets name the scope by interface, getifaddrs by index.
int interfaceIndex(const QString& scope)
{
    bool numeric = false;
    const int index = scope.toInt(&numeric);
    return numeric ? index : QNetworkInterface::interfaceIndexFromName(scope);
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

bool isOnLocalNetwork(const QHostAddress& peer, const QList<AttachedNetwork>& networks)
{
    const QHostAddress address = unmapped(peer);
    if (address.isLoopback())
        return true;
    if (address.protocol() == QAbstractSocket::IPv6Protocol && address.isLinkLocal()) {
        const int scope = interfaceIndex(address.scopeId());
        return scope > 0 &&
               std::any_of(networks.begin(), networks.end(), [scope](const AttachedNetwork& own) {
                   return own.address.isLinkLocal() &&
                          interfaceIndex(own.address.scopeId()) == scope;
               });
    }
    return std::any_of(networks.begin(), networks.end(), [&](const AttachedNetwork& network) {
        return network.prefixLength > 0 &&
               address.isInSubnet(unmapped(network.address), network.prefixLength);
    });
}

bool LocalNetworkRule::admits(const QHostAddress& peer)
{
    if (unmapped(peer).isLoopback())
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
        return networks;
    };
}
