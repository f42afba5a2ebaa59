#include "server/FrontDoor.h"

#include "server/ControllerSite.h"
#include "server/LayoutRequests.h"
#include "server/PeerAddress.h"

#include <QFile>
#include <QHostInfo>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

constexpr QByteArrayView kEndOfHead = "\r\n\r\n";

QString peerText(const QTcpSocket& socket)
{
    return displayAddress(socket.peerAddress());
}

QString passKey(const QHostAddress& peer, quint16 port)
{
    return displayAddress(peer) + u'|' + QString::number(port);
}

bool isPadTarget(QByteArrayView target)
{
    const qsizetype question = target.indexOf('?');
    return (question < 0 ? target : target.first(question)) == "/pad";
}

LocalNames readLocalNames()
{
    QFile resolvConf(QStringLiteral("/etc/resolv.conf"));
    const QByteArray text =
        resolvConf.open(QIODevice::ReadOnly) ? resolvConf.readAll() : QByteArray();
    return {QHostInfo::localHostName(), searchDomains(text)};
}

} // namespace

FrontDoor::FrontDoor(QWebSocketServer& engine, DiagnosticLog& log, Limits limits,
                     ClientRoster& roster, DeviceTrust& trust, QObject* parent)
    : QObject(parent), engine_(engine), log_(log), refusals_(log), limits_(limits), roster_(roster),
      trust_(trust), localNames_(readLocalNames())
{}

void FrontDoor::admit(QTcpSocket* socket, std::chrono::steady_clock::time_point acceptedAt)
{
    socket->setParent(this);
    if (!trust_.isOnLocalNetwork(socket->peerAddress())) {
        refusals_.refused(peerText(*socket),
                          QStringLiteral("not on this computer's local network"));
        socket->abort();
        socket->deleteLater();
        return;
    }
    // Replies are tiny and a player waits on each one.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const unsigned timeoutMs = unsigned(limits_.unacknowledgedTimeout.count());
    ::setsockopt(int(socket->socketDescriptor()), IPPROTO_TCP, TCP_USER_TIMEOUT, &timeoutMs,
                 sizeof timeoutMs);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { inspect(socket); });

    auto* deadline = new QTimer(socket);
    deadline->setObjectName(QStringLiteral("headDeadline"));
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - acceptedAt);
    deadline->start(std::max(limits_.headTimeout - spent, std::chrono::milliseconds(0)));

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
    if (layouts_ && !isWebSocketUpgrade(*request) &&
        LayoutRequests::isLayoutsTarget(request->target)) {
        layouts_->serve(socket, *request, end + kEndOfHead.size(), localNames_);
        return;
    }
    if (!isWebSocketUpgrade(*request)) {
        respond(socket, respondToPageRequest(*request), *request);
        return;
    }
    std::optional<QString> reason = refusalReason(*request, localNames_);
    Admission admission;
    if (!reason) {
        admission = trust_.judge(socket->peerAddress(), request->target,
                                 request->header("origin").has_value());
        if (admission.verdict == Admission::Verdict::Refuse)
            reason = admission.reason;
    }
    if (reason) {
        refusals_.refused(peerText(*socket), *reason);
        respond(socket, plainTextResponse("403 Forbidden", "Forbidden"), *request);
        return;
    }
    if (const std::optional<QString> full = refusalForRoom(peerText(*socket), admission)) {
        refusals_.refused(peerText(*socket), *full);
        respond(socket, plainTextResponse("503 Service Unavailable", "Too many clients"), *request);
        return;
    }
    upgrading_.insert(
        passKey(socket->peerAddress(), socket->peerPort()),
        {socket,
         {admission, request->header("origin").has_value(),
          request->header("user-agent").value_or(QByteArray()), isPadTarget(request->target)}});
    engine_.handleConnection(socket);
}

std::optional<QString> FrontDoor::refusalForRoom(const QString& address, const Admission& admission)
{
    upgrading_.removeIf([](const auto& entry) { return entry.value().socket.isNull(); });
    const QList<OpenClient> open = roster_.clients();
    evicted_.removeIf([&open](int id) {
        return std::none_of(open.begin(), open.end(),
                            [id](const OpenClient& client) { return client.id == id; });
    });
    const qsizetype total = open.size() - evicted_.size() + upgrading_.size();
    if (admission.trusted) {
        if (total < limits_.maxClients)
            return std::nullopt;
        // The list runs from the longest connected.
        for (const OpenClient& client : open) {
            if (!client.trusted && !evicted_.contains(client.id)) {
                evicted_.insert(client.id);
                roster_.evict(client.id, QStringLiteral("Room was needed for a trusted device"));
                break;
            }
        }
        return std::nullopt;
    }
    int untrusted = 0;
    int fromAddress = 0;
    int held = 0;
    const auto count = [&](const QString& clientAddress, bool isHeld) {
        ++untrusted;
        fromAddress += clientAddress == address;
        held += isHeld;
    };
    for (const OpenClient& client : open) {
        if (!client.trusted && !evicted_.contains(client.id))
            count(client.address, client.held);
    }
    for (const Upgrade& upgrade : std::as_const(upgrading_)) {
        if (!upgrade.pass.admission.trusted)
            count(peerText(*upgrade.socket),
                  upgrade.pass.admission.verdict == Admission::Verdict::Hold);
    }
    if (total >= limits_.maxClients)
        return QStringLiteral("already serving %1 clients").arg(limits_.maxClients);
    if (fromAddress >= limits_.maxUntrustedPerAddress)
        return QStringLiteral("already %1 connections from this address that are not trusted")
            .arg(limits_.maxUntrustedPerAddress);
    if (untrusted >= limits_.maxUntrusted)
        return QStringLiteral("already serving %1 clients that are not trusted")
            .arg(limits_.maxUntrusted);
    if (admission.verdict == Admission::Verdict::Hold && held >= limits_.maxHeld)
        return QStringLiteral("already %1 devices waiting for approval").arg(limits_.maxHeld);
    return std::nullopt;
}

std::optional<FrontDoor::Pass> FrontDoor::claim(QWebSocket& webSocket)
{
    const Upgrade upgrade = upgrading_.take(passKey(webSocket.peerAddress(), webSocket.peerPort()));
    if (!upgrade.socket)
        return std::nullopt;
    upgrade.socket->setParent(&webSocket);
    constexpr qint64 kLargestFrameHead = 14;
    limitInput(*upgrade.socket,
               qint64(webSocket.maxAllowedIncomingFrameSize()) + kLargestFrameHead);
    return upgrade.pass;
}

void FrontDoor::limitInput(QTcpSocket& socket, qint64 largestFrame)
{
    socket.setReadBufferSize(limits_.inputBytesPerTurn);
    // Runs after the engine has handled what was read.
    connect(&socket, &QTcpSocket::readyRead, this, [this, &socket, largestFrame] {
        limitQueuedBytes(socket);
        // The engine takes a frame only once it is whole: one longer than a
        // turn's share gets the room it needs, and gives it back after.
        if (socket.bytesAvailable() >= socket.readBufferSize())
            socket.setReadBufferSize(largestFrame);
        else if (socket.bytesAvailable() < limits_.inputBytesPerTurn)
            socket.setReadBufferSize(limits_.inputBytesPerTurn);
    });
}

void FrontDoor::limitQueuedBytes(QTcpSocket& socket)
{
    // The engine answers WebSocket pings by itself; for a client that never
    // reads, the answers would pile up without end.
    if (socket.bytesToWrite() <= limits_.maxQueuedBytes)
        return;
    log_.writeLine(
        QStringLiteral("Closed the connection from %1: it reads nothing of what is sent to it")
            .arg(peerText(socket)));
    socket.abort();
}

void FrontDoor::respond(QTcpSocket* socket, const HttpResponse& response,
                        const RequestHead& request)
{
    socket->write(response.serialize(contentSecurityPolicy(request)));
    socket->disconnectFromHost();
}
