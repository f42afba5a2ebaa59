#pragma once

#include "tls/TlsCredentials.h"

#include <QHostAddress>
#include <QTcpServer>

#include <chrono>
#include <functional>

// Listens on one port for both plain TCP and TLS. A connection's first byte
// is peeked at, never read: a TLS handshake record (0x16) gets a QSslSocket
// that answers the handshake, anything else a plain QTcpSocket, and whoever
// takes the socket reads the connection from its first byte.
class TlsSniffingListener : public QTcpServer
{
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;
    struct Settings
    {
        // Peers it declines are handed over at once, unpeeked, to be refused.
        std::function<bool(const QHostAddress& peer)> worthPeeking;
        // A peer that sends nothing within this is closed.
        std::chrono::milliseconds firstByteTimeout{10'000};
    };

    // Without usable credentials every connection is plain.
    TlsSniffingListener(const TlsCredentials& credentials, Settings settings,
                        QObject* parent = nullptr);

signals:
    // The socket now belongs to the receiver; `acceptedAt` counts against
    // its deadline for the request head.
    void accepted(QTcpSocket* socket, TlsSniffingListener::Clock::time_point acceptedAt);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void handOver(qintptr descriptor, bool tls, Clock::time_point acceptedAt);

    const TlsCredentials& credentials_;
    Settings settings_;
};
