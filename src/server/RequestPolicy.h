#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>
#include <utility>

// The head of an HTTP request, as far as the front door needs it.
struct RequestHead
{
    QByteArray method;
    QByteArray target;
    QList<std::pair<QByteArray, QByteArray>> headers; // names lowercased, values trimmed

    std::optional<QByteArray> header(QByteArrayView lowercaseName) const;
};

// `head` runs up to and including the blank line; none when it is no HTTP/1.x request.
std::optional<RequestHead> parseRequestHead(QByteArrayView head);

// Browsers let any web page open a WebSocket to a LAN address, and DNS
// rebinding can dress a foreign page up as a local one. A request is refused
// when its Origin names another host than its Host header, or when its Host
// is no address literal, "localhost" or this machine's name. Native clients
// send no Origin and pass. Returns the reason for a refusal.
std::optional<QString> refusalReason(const RequestHead& request, const QString& localHostName);
