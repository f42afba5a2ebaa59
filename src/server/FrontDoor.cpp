#include "server/FrontDoor.h"

#include "server/ControllerSite.h"
#include "server/RequestPolicy.h"

#include <QHostInfo>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocketServer>

namespace {

constexpr QByteArrayView kEndOfHead = "\r\n\r\n";

QString peerText(const QTcpSocket& socket)
{
    bool isV4 = false;
    const quint32 v4 = socket.peerAddress().toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : socket.peerAddress().toString();
}

} // namespace

FrontDoor::FrontDoor(QWebSocketServer& engine, DiagnosticLog& log, Limits limits, QObject* parent)
    : QObject(parent), engine_(engine), log_(log), limits_(limits),
      localHostName_(QHostInfo::localHostName())
{}

void FrontDoor::admit(QTcpSocket* socket)
{
    socket->setParent(this);
    // Replies are tiny and a player waits on each one.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { inspect(socket); });

    auto* deadline = new QTimer(socket);
    deadline->setObjectName(QStringLiteral("headDeadline"));
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    deadline->start(limits_.headTimeout);

    if (socket->bytesAvailable() > 0)
        inspect(socket);
}

void FrontDoor::inspect(QTcpSocket* socket)
{
    const QByteArray peeked =
        socket->peek(qMin(socket->bytesAvailable(), qint64(limits_.maxHeadBytes)));
    const qsizetype end = peeked.indexOf(kEndOfHead);
    if (end < 0) {
        if (socket->bytesAvailable() >= limits_.maxHeadBytes) {
            socket->abort();
            socket->deleteLater();
        }
        return;
    }

    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    delete socket->findChild<QTimer*>(QStringLiteral("headDeadline"));

    const std::optional<RequestHead> request =
        parseRequestHead(QByteArrayView(peeked).first(end + kEndOfHead.size()));
    if (!request) {
        respond(socket, plainTextResponse("400 Bad Request", "Bad Request"), {});
        return;
    }
    if (!isWebSocketUpgrade(*request)) {
        respond(socket, respondToPageRequest(*request), *request);
        return;
    }
    if (const std::optional<QString> reason = refusalReason(*request, localHostName_)) {
        log_.writeLine(QStringLiteral("Rejected connection from ") + peerText(*socket) +
                       QStringLiteral(": ") + *reason);
        respond(socket, plainTextResponse("403 Forbidden", "Forbidden"), *request);
        return;
    }
    engine_.handleConnection(socket);
}

void FrontDoor::respond(QTcpSocket* socket, const HttpResponse& response,
                        const RequestHead& request)
{
    socket->write(response.serialize(contentSecurityPolicy(request)));
    socket->disconnectFromHost();
}
