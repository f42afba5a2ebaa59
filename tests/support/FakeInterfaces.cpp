#include "FakeInterfaces.h"

#include <arpa/inet.h>

CraftedInterfaces& CraftedInterfaces::add(const char* name, int family, const char* address,
                                          unsigned flags)
{
    Entry& entry = entries_.emplace_back();
    entry.name = name;
    entry.node.ifa_name = entry.name.data();
    entry.node.ifa_flags = flags;
    if (family == AF_INET) {
        entry.v4.sin_family = AF_INET;
        inet_pton(AF_INET, address, &entry.v4.sin_addr);
        entry.node.ifa_addr = reinterpret_cast<sockaddr*>(&entry.v4);
    } else if (family == AF_INET6) {
        entry.v6.sin6_family = AF_INET6;
        inet_pton(AF_INET6, address, &entry.v6.sin6_addr);
        entry.node.ifa_addr = reinterpret_cast<sockaddr*>(&entry.v6);
    }
    chain();
    return *this;
}

CraftedInterfaces& CraftedInterfaces::addLink(const char* name, int macLength, unsigned flags)
{
    Entry& entry = entries_.emplace_back();
    entry.name = name;
    entry.node.ifa_name = entry.name.data();
    entry.node.ifa_flags = flags;
    entry.link.sll_family = AF_PACKET;
    entry.link.sll_halen = (unsigned char)macLength;
    entry.node.ifa_addr = reinterpret_cast<sockaddr*>(&entry.link);
    chain();
    return *this;
}

void CraftedInterfaces::chain()
{
    for (size_t i = 0; i + 1 < entries_.size(); ++i)
        entries_[i].node.ifa_next = &entries_[i + 1].node;
}

const QByteArray kRouteHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

QByteArray route(const char* name, const char* destination, const char* flags, int metric,
                 const char* mask)
{
    return QByteArray(name) + '\t' + destination + "\t0101A8C0\t" + flags + "\t0\t0\t" +
           QByteArray::number(metric) + '\t' + mask + "\t0\t0\t0\n";
}

FakeSystem::FakeSystem()
{
    routes.open();
    interfaces.add("lo", AF_INET, "127.0.0.1", IFF_UP | IFF_LOOPBACK)
        .add("eth0", AF_INET, "192.168.1.20");
    routes.write(kRouteHeader + route("eth0", "00000000", "0003", 100, "00000000"));
    routes.flush();
}

InterfaceSource FakeSystem::source()
{
    return {[this](ifaddrs** list) {
                ++queries;
                *list = interfaces.head();
                return failing ? -1 : 0;
            },
            [](ifaddrs*) {}, routes.fileName()};
}
