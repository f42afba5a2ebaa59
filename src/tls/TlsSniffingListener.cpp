#include "tls/TlsSniffingListener.h"

#include <QSocketNotifier>
#include <QSslSocket>
#include <QTimer>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr char kTlsHandshakeRecord = 0x16;

// A connection waiting for its first byte; closed unless handed over.
class PendingConnection : public QObject
{
public:
    PendingConnection(qintptr descriptor, QObject* parent)
        : QObject(parent), descriptor(descriptor),
          notifier(new QSocketNotifier(descriptor, QSocketNotifier::Read, this))
    {}
    ~PendingConnection() override
    {
        notifier->setEnabled(false);
        if (descriptor >= 0)
            ::close(int(descriptor));
    }
    qintptr release()
    {
        notifier->setEnabled(false);
        return std::exchange(descriptor, -1);
    }

    qintptr descriptor;
    QSocketNotifier* notifier;
};

QHostAddress peerOf(qintptr descriptor)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return {};
    return QHostAddress(reinterpret_cast<const sockaddr*>(&peer));
}

} // namespace

TlsSniffingListener::TlsSniffingListener(const TlsCredentials& credentials, Settings settings,
                                         QObject* parent)
    : QTcpServer(parent), credentials_(credentials), settings_(std::move(settings))
{}

void TlsSniffingListener::incomingConnection(qintptr descriptor)
{
    const Clock::time_point acceptedAt = Clock::now();
    if (!credentials_.usable() || !settings_.worthPeeking(peerOf(descriptor))) {
        handOver(descriptor, false, acceptedAt);
        return;
    }
    auto* pending = new PendingConnection(descriptor, this);
    auto* deadline = new QTimer(pending);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, pending, &QObject::deleteLater);
    deadline->start(settings_.firstByteTimeout);
    connect(pending->notifier, &QSocketNotifier::activated, pending, [this, pending, acceptedAt] {
        char first = 0;
        const ssize_t peeked = ::recv(int(pending->descriptor), &first, 1, MSG_PEEK | MSG_DONTWAIT);
        if (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        // Closed or failed before a byte came: nothing to serve.
        if (peeked == 1)
            handOver(pending->release(), first == kTlsHandshakeRecord, acceptedAt);
        pending->deleteLater();
    });
}

void TlsSniffingListener::handOver(qintptr descriptor, bool tls, Clock::time_point acceptedAt)
{
    QTcpSocket* socket = nullptr;
    if (tls) {
        auto* secure = new QSslSocket;
        secure->setSslConfiguration(credentials_.configuration());
        socket = secure;
    } else {
        socket = new QTcpSocket;
    }
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(int(descriptor));
        delete socket;
        return;
    }
    if (tls)
        static_cast<QSslSocket*>(socket)->startServerEncryption();
    emit accepted(socket, acceptedAt);
}
