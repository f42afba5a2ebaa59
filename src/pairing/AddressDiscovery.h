#pragma once

#include <QByteArray>
#include <QObject>
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

// Looks the address up now and hands it, present or absent, to `apply` one
// event-loop turn later, never from within the caller.
void fetchIPAddress(QObject* context, std::function<void(const std::optional<QString>&)> apply,
                    const InterfaceSource& source = InterfaceSource::system());

// Where a phone's browser finds the controller page, served on the server's port.
QString controllerPageAddress(const QString& address);
