#pragma once

#include <QHostAddress>
#include <QString>

// An address as the user knows it: IPv4 clients of a dual-stack listener
// show as 192.168.1.20, not ::ffff:192.168.1.20.
inline QString displayAddress(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}
