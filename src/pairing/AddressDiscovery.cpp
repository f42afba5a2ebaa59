#include "pairing/AddressDiscovery.h"

#include <QFile>

#include <algorithm>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netpacket/packet.h>

std::optional<QString> selectIPv4Address(const ifaddrs* interfaces, const QByteArray& interfaceName)
{
    for (const ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_name ||
            interfaceName != entry->ifa_name)
            continue;
        char host[NI_MAXHOST];
        if (getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0,
                        NI_NUMERICHOST) == 0)
            return QString::fromLatin1(host);
    }
    return std::nullopt;
}

std::optional<QByteArray> choosePairingInterface(QByteArrayView routeTable,
                                                 const ifaddrs* interfaces)
{
    std::optional<QByteArray> best;
    qulonglong bestMetric = 0;
    const QList<QByteArray> lines = routeTable.toByteArray().split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) { // the first line names the columns
        const QList<QByteArray> fields = lines[i].simplified().split(' ');
        if (fields.size() < 8)
            continue;
        bool destinationOk, flagsOk, metricOk, maskOk;
        const qulonglong destination = fields[1].toULongLong(&destinationOk, 16);
        const qulonglong flags = fields[3].toULongLong(&flagsOk, 16);
        const qulonglong metric = fields[6].toULongLong(&metricOk, 10);
        const qulonglong mask = fields[7].toULongLong(&maskOk, 16);
        if (!destinationOk || !flagsOk || !metricOk || !maskOk || destination != 0 || mask != 0 ||
            !(flags & RTF_UP))
            continue;
        if (!best || metric < bestMetric) {
            best = fields[0];
            bestMetric = metric;
        }
    }
    if (best)
        return best;

    for (const ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
        if (entry->ifa_name && entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET &&
            (entry->ifa_flags & IFF_UP) && !(entry->ifa_flags & IFF_LOOPBACK))
            return QByteArray(entry->ifa_name);
    }
    return std::nullopt;
}

InterfaceSource InterfaceSource::system()
{
    return {::getifaddrs, ::freeifaddrs};
}

namespace {

bool isPrivate(const QString& address)
{
    const QList<QStringView> parts = QStringView(address).split(u'.');
    if (parts.size() != 4)
        return false;
    const int first = parts[0].toInt();
    const int second = parts[1].toInt();
    return first == 10 || (first == 172 && second >= 16 && second <= 31) ||
           (first == 192 && second == 168);
}

} // namespace

bool isTunnel(const ifaddrs* interfaces, const QByteArray& interfaceName)
{
    if (interfaceName.startsWith("tun") || interfaceName.startsWith("wg") ||
        interfaceName.startsWith("ppp"))
        return true;
    for (const ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
        if (entry->ifa_name && interfaceName == entry->ifa_name && entry->ifa_addr &&
            entry->ifa_addr->sa_family == AF_PACKET && !(entry->ifa_flags & IFF_LOOPBACK))
            return reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr)->sll_halen == 0;
    }
    return false;
}

QList<PairingCandidate> pairingCandidates(QByteArrayView routeTable, const ifaddrs* interfaces)
{
    QList<PairingCandidate> candidates;
    for (const ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
        if (!entry->ifa_name || !entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET ||
            !(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK))
            continue;
        const QByteArray name(entry->ifa_name);
        const bool known = std::any_of(candidates.cbegin(), candidates.cend(),
                                       [&](const auto& c) { return c.interfaceName == name; });
        if (known)
            continue;
        if (const std::optional<QString> address = selectIPv4Address(interfaces, name))
            candidates.append({name, *address});
    }

    const std::optional<QByteArray> chosen = choosePairingInterface(routeTable, interfaces);
    auto preferred = std::find_if(candidates.begin(), candidates.end(),
                                  [&](const auto& c) { return c.interfaceName == chosen; });
    if (preferred != candidates.end() && isTunnel(interfaces, preferred->interfaceName)) {
        const auto lan = std::find_if(candidates.begin(), candidates.end(), [&](const auto& c) {
            return isPrivate(c.address) && !isTunnel(interfaces, c.interfaceName);
        });
        if (lan != candidates.end())
            preferred = lan;
    }
    if (preferred != candidates.end())
        std::rotate(candidates.begin(), preferred, preferred + 1);
    return candidates;
}

QList<PairingCandidate> discoverCandidates(const InterfaceSource& source)
{
    ifaddrs* interfaces = nullptr;
    if (source.query(&interfaces) != 0)
        return {};
    QFile routes(source.routeTablePath);
    const QByteArray routeTable =
        routes.open(QIODevice::ReadOnly) ? routes.readAll() : QByteArray();
    QList<PairingCandidate> candidates = pairingCandidates(routeTable, interfaces);
    source.release(interfaces);
    return candidates;
}

QString pairingCodeContent(const QString& address)
{
    return address;
}

QString controllerPageAddress(const QString& address)
{
    return QStringLiteral("http://") + address + QStringLiteral(":3330");
}

QString secureControllerPageAddress(const QString& address)
{
    return QStringLiteral("https://") + address + QStringLiteral(":3330");
}
