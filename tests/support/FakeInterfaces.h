#pragma once

#include "pairing/AddressDiscovery.h"

#include <QTemporaryFile>

#include <deque>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>

// Interface lists built by hand, in the shape getifaddrs returns.
class CraftedInterfaces
{
public:
    CraftedInterfaces& add(const char* name, int family, const char* address,
                           unsigned flags = IFF_UP);
    // The link entry (AF_PACKET) with a hardware address of `macLength` bytes.
    CraftedInterfaces& addLink(const char* name, int macLength, unsigned flags = IFF_UP);
    ifaddrs* head() { return entries_.empty() ? nullptr : &entries_.front().node; }

private:
    struct Entry
    {
        QByteArray name;
        ifaddrs node{};
        sockaddr_in v4{};
        sockaddr_in6 v6{};
        sockaddr_ll link{};
    };
    void chain();
    std::deque<Entry> entries_;
};

extern const QByteArray kRouteHeader;

// One line of /proc/net/route.
QByteArray route(const char* name, const char* destination, const char* flags, int metric,
                 const char* mask);

// A discovery source the test controls: a crafted list and route table (eth0
// at 192.168.1.20 carries the default route), or a failing query, counting
// how often it is asked.
struct FakeSystem
{
    FakeSystem();
    InterfaceSource source();

    CraftedInterfaces interfaces;
    QTemporaryFile routes;
    bool failing = false;
    int queries = 0;
};
