#pragma once

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QList>

#include <functional>

struct ifaddrs;

// A network this computer is directly attached to.
struct AttachedNetwork
{
    QHostAddress address;
    int prefixLength = 0;
};

// Each interface address with its netmask, IPv4 and IPv6.
QList<AttachedNetwork> interfaceNetworks(const ifaddrs* interfaces);

// Whether `peer` is this computer or sits in the prefix of one of its own
// addresses. Routes do not count: a VPN may route a whole range through a
// link without any of it being local. An IPv6 link-local peer counts when it
// arrived on an interface that has a link-local address of its own (the
// scope is an interface name or index).
bool isOnLocalNetwork(const QHostAddress& peer, const QList<AttachedNetwork>& networks);

// Addresses come and go while the program runs, so the attached networks are
// read again when the last reading is over a second old (a reading costs
// about 140 µs, too much for every connection of a flood). Tests hand in
// their own lists.
class LocalNetworkRule
{
public:
    using Source = std::function<QList<AttachedNetwork>()>;

    explicit LocalNetworkRule(Source source = system()) : source_(std::move(source)) {}
    bool admits(const QHostAddress& peer);

    static Source system();

private:
    Source source_;
    QList<AttachedNetwork> networks_;
    QDeadlineTimer stale_{0};
};
