#include "pairing/AddressDiscovery.h"

#include <QFile>

#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netdb.h>
#include <netinet/in.h>

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

void fetchIPAddress(QObject* context, std::function<void(const std::optional<QString>&)> apply,
                    const InterfaceSource& source)
{
    std::optional<QString> address;
    ifaddrs* interfaces = nullptr;
    if (source.query(&interfaces) == 0) {
        QFile routes(source.routeTablePath);
        const QByteArray routeTable =
            routes.open(QIODevice::ReadOnly) ? routes.readAll() : QByteArray();
        if (const std::optional<QByteArray> name = choosePairingInterface(routeTable, interfaces))
            address = selectIPv4Address(interfaces, *name);
        source.release(interfaces);
    }
    QMetaObject::invokeMethod(
        context, [apply = std::move(apply), address] { apply(address); }, Qt::QueuedConnection);
}

QString controllerPageAddress(const QString& address)
{
    return QStringLiteral("http://") + address + QStringLiteral(":3330");
}
