#include "server/LayoutRequests.h"

#include "common/PeerAddress.h"
#include "trust/DeviceTrust.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

#include <sys/socket.h>

namespace {

constexpr QByteArrayView kCollection = "/layouts";
constexpr QByteArrayView kJson = "application/json";

QByteArrayView pathOf(QByteArrayView target)
{
    const qsizetype question = target.indexOf('?');
    return question < 0 ? target : target.first(question);
}

HttpResponse jsonResponse(QByteArray body, bool headOnly)
{
    HttpResponse response{"200 OK", kJson.toByteArray(), std::move(body), {}};
    response.headOnly = headOnly;
    return response;
}

HttpResponse noContent()
{
    return {"204 No Content", "text/plain; charset=utf-8", {}, {}};
}

HttpResponse notAllowed(QByteArrayView allowed)
{
    HttpResponse response = plainTextResponse("405 Method Not Allowed", "Method Not Allowed");
    response.extraHeaders.append({"Allow", allowed.toByteArray()});
    return response;
}

// The device token of `?device=` or of `Authorization: Bearer`.
QByteArray deviceToken(const RequestHead& request)
{
    const qsizetype question = request.target.indexOf('?');
    const QUrlQuery query(question < 0 ? QString()
                                       : QString::fromLatin1(request.target.sliced(question + 1)));
    if (query.hasQueryItem(QStringLiteral("device")))
        return query.queryItemValue(QStringLiteral("device")).toLatin1();
    const QByteArray authorization = request.header("authorization").value_or(QByteArray());
    constexpr QByteArrayView kBearer = "bearer ";
    if (authorization.size() > kBearer.size() &&
        authorization.first(kBearer.size()).toLower() == kBearer)
        return authorization.sliced(kBearer.size()).trimmed();
    return {};
}

} // namespace

LayoutRequests::LayoutRequests(LayoutStore& store, DeviceTrust& trust, DiagnosticLog& log,
                               std::chrono::milliseconds bodyTimeout, QObject* parent)
    : QObject(parent), store_(store), trust_(trust), log_(log), bodyTimeout_(bodyTimeout)
{}

bool LayoutRequests::isLayoutsTarget(QByteArrayView target)
{
    const QByteArrayView path = pathOf(target);
    return path == kCollection || path.startsWith(kCollection.toByteArray() + '/');
}

void LayoutRequests::serve(QTcpSocket* socket, const RequestHead& request, qsizetype headBytes,
                           const LocalNames& names)
{
    socket->skip(headBytes);
    const QByteArrayView path = pathOf(request.target);
    const QByteArray& method = request.method;
    const bool get = method == "GET" || method == "HEAD";
    if (path == kCollection) {
        finish(socket, get ? list(request) : notAllowed("GET, HEAD"), request);
        return;
    }
    const QString name = QString::fromLatin1(path.sliced(kCollection.size() + 1));
    if (get) {
        finish(socket, read(request, name), request);
        return;
    }
    if (method != "PUT" && method != "DELETE") {
        finish(socket, notAllowed("GET, HEAD, PUT, DELETE"), request);
        return;
    }
    if (std::optional<HttpResponse> refusal =
            refusalToChange(socket->peerAddress(), request, names)) {
        finish(socket, *refusal, request);
        return;
    }
    if (method == "DELETE") {
        finish(socket, remove(name, socket->peerAddress()), request);
        return;
    }
    if (std::optional<HttpResponse> refusal = refusalOfBody(request, name)) {
        finish(socket, *refusal, request);
        return;
    }
    if (request.header("expect").value_or(QByteArray()).toLower() == "100-continue")
        socket->write("HTTP/1.1 100 Continue\r\n\r\n");
    receiveBody(socket, request, name, request.header("content-length")->toLongLong());
}

std::optional<HttpResponse> LayoutRequests::refusalToChange(const QHostAddress& peer,
                                                            const RequestHead& request,
                                                            const LocalNames& names)
{
    // The socket's rule: a page from another site must not change what
    // every phone here plays with.
    if (refusalReason(request, names))
        return plainTextResponse("403 Forbidden",
                                 "Layouts are changed only from Kestrelio's own page");
    QUrlQuery credentials;
    if (const QByteArray token = deviceToken(request); !token.isEmpty())
        credentials.addQueryItem(QStringLiteral("device"), QString::fromLatin1(token));
    const QByteArray target = "/?" + credentials.toString(QUrl::FullyEncoded).toLatin1();
    if (!trust_.judge(peer, target, true).trusted)
        return plainTextResponse("403 Forbidden",
                                 "Only this computer or a paired device may change layouts");
    return std::nullopt;
}

std::optional<HttpResponse> LayoutRequests::refusalOfBody(const RequestHead& request,
                                                          const QString& name)
{
    if (LayoutStore::isBuiltin(name))
        return plainTextResponse("409 Conflict",
                                 "Built-in layouts cannot be changed: save it under another name");
    if (!LayoutStore::isValidName(name))
        return plainTextResponse("400 Bad Request",
                                 "A layout's name is 1 to 40 characters of a-z, 0-9 and -");
    const QByteArray type = request.header("content-type").value_or(QByteArray());
    if (type.split(';').first().trimmed().toLower() != kJson)
        return plainTextResponse("415 Unsupported Media Type",
                                 "A layout is sent as application/json");
    const std::optional<QByteArray> length = request.header("content-length");
    if (!length || request.header("transfer-encoding"))
        return plainTextResponse("411 Length Required", "A layout needs a Content-Length");
    const bool digits =
        !length->isEmpty() &&
        std::all_of(length->begin(), length->end(), [](char c) { return c >= '0' && c <= '9'; });
    bool number = false;
    const qint64 bytes = length->toLongLong(&number);
    if (!digits || !number)
        return plainTextResponse("400 Bad Request", "The Content-Length is no number");
    if (bytes > LayoutStore::kMaxDocumentBytes)
        return plainTextResponse("413 Content Too Large",
                                 QByteArray::number(LayoutStore::kMaxDocumentBytes) +
                                     " bytes at most");
    return std::nullopt;
}

void LayoutRequests::receiveBody(QTcpSocket* socket, const RequestHead& request,
                                 const QString& name, qint64 length)
{
    if (length > 0)
        socket->setReadBufferSize(length);
    auto* deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    deadline->start(bodyTimeout_);
    const auto take = [this, socket, request, name, length, deadline] {
        if (socket->bytesAvailable() < length)
            return;
        disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
        delete deadline;
        const QByteArray body = socket->read(length);
        finish(socket, save(name, body, socket->peerAddress()), request);
    };
    connect(socket, &QTcpSocket::readyRead, this, take);
    take();
}

HttpResponse LayoutRequests::save(const QString& name, QByteArrayView body,
                                  const QHostAddress& peer)
{
    using Result = LayoutStore::Saving::Result;
    const LayoutStore::Saving saving = store_.save(name, body);
    switch (saving.result) {
    case Result::Saved:
        announce(QStringLiteral("Layout \"%1\" saved by %2")
                     .arg(escapeControlCharacters(saving.detail), displayAddress(peer)));
        return noContent();
    case Result::InvalidName:
    case Result::Invalid:
        return plainTextResponse("400 Bad Request", saving.detail.toUtf8());
    case Result::Builtin:
        return plainTextResponse("409 Conflict", saving.detail.toUtf8());
    case Result::Full:
        return plainTextResponse("507 Insufficient Storage", saving.detail.toUtf8());
    case Result::Failed:
        break;
    }
    log_.writeLine(QStringLiteral("Layout %1 was not saved: %2").arg(name, saving.detail));
    return plainTextResponse("500 Internal Server Error", "The layout could not be saved");
}

HttpResponse LayoutRequests::remove(const QString& name, const QHostAddress& peer)
{
    QString title;
    switch (store_.remove(name, title)) {
    case LayoutStore::Removal::Removed:
        announce(QStringLiteral("Layout \"%1\" deleted by %2")
                     .arg(escapeControlCharacters(title), displayAddress(peer)));
        return noContent();
    case LayoutStore::Removal::Missing:
        return plainTextResponse("404 Not Found", "No such layout");
    case LayoutStore::Removal::Builtin:
        return plainTextResponse("409 Conflict", "Built-in layouts cannot be deleted");
    case LayoutStore::Removal::Failed:
        break;
    }
    log_.writeLine(QStringLiteral("Layout %1 could not be deleted").arg(name));
    return plainTextResponse("500 Internal Server Error", "The layout could not be deleted");
}

HttpResponse LayoutRequests::read(const RequestHead& request, const QString& name)
{
    if (const std::optional<QByteArray> document = store_.read(name))
        return jsonResponse(*document, request.method == "HEAD");
    HttpResponse response = plainTextResponse("404 Not Found", "No such layout");
    response.headOnly = request.method == "HEAD";
    return response;
}

HttpResponse LayoutRequests::list(const RequestHead& request)
{
    QJsonArray entries;
    for (const LayoutEntry& entry : store_.list())
        entries.append(QJsonObject{{QStringLiteral("name"), entry.name},
                                   {QStringLiteral("title"), entry.title},
                                   {QStringLiteral("mode"), entry.mode},
                                   {QStringLiteral("builtin"), entry.builtin}});
    return jsonResponse(QJsonDocument(entries).toJson(QJsonDocument::Compact),
                        request.method == "HEAD");
}

void LayoutRequests::announce(const QString& line)
{
    log_.writeLine(line);
    emit changed(line);
}

void LayoutRequests::finish(QTcpSocket* socket, const HttpResponse& response,
                            const RequestHead& request)
{
    socket->write(response.serialize(contentSecurityPolicy(request)));
    // A refusal may come before the body: closing with it unread would reset
    // the connection, and the client would lose the answer. So the sending
    // side is closed, and what still comes is read and dropped until the
    // client closes, for as long as a body may take.
    socket->setReadBufferSize(0);
    // A raw shutdown would cut TLS records still on their way, so over TLS
    // the client closes ("Connection: close"), or the deadline does.
    auto* tls = qobject_cast<QSslSocket*>(socket);
    const auto closeSending = [socket, tls] {
        if (!tls && socket->bytesToWrite() == 0)
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, closeSending);
    connect(socket, &QTcpSocket::readyRead, socket,
            [socket] { socket->skip(socket->bytesAvailable()); });
    socket->flush();
    closeSending();
    socket->skip(socket->bytesAvailable());
    QTimer::singleShot(bodyTimeout_, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
}
