#include "pairing/NetworkWatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

NetworkWatcher::NetworkWatcher(QObject* parent) : QObject(parent)
{
    socket_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    sockaddr_nl local = {};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
    if (socket_ < 0 ||
        ::bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        problem_ = QString::fromLocal8Bit(std::strerror(errno));
        if (socket_ >= 0)
            ::close(socket_);
        socket_ = -1;
        return;
    }
    notifier_ = new QSocketNotifier(socket_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &NetworkWatcher::drain);
}

NetworkWatcher::~NetworkWatcher()
{
    delete notifier_;
    if (socket_ >= 0)
        ::close(socket_);
}

void NetworkWatcher::drain()
{
    // Only the fact of a change matters; the lookup that follows reads the
    // whole state again. A full queue (ENOBUFS) is a change too.
    char buffer[8192];
    for (int reads = 0; reads < 256; ++reads) {
        const ssize_t got = ::recv(socket_, buffer, sizeof buffer, 0);
        if (got < 0 && errno != ENOBUFS && errno != EINTR)
            break;
    }
    emit changed();
}
