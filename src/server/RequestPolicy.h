#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

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

// The names this computer answers to: its host name, alone or followed by
// ".local" or one of the resolver's search domains.
struct LocalNames
{
    QString hostName;
    QStringList searchDomains;
};

// Browsers let any web page open a WebSocket to a LAN address, and DNS
// rebinding can dress a foreign page up as a local one. A request is refused
// when it carries an Origin other than the page's own (http or https, the
// Host's host and port), or when its Host is no address literal, "localhost" or one of
// `names` (each also with a trailing dot). Native clients send no Origin.
// Returns the reason for a refusal.
std::optional<QString> refusalReason(const RequestHead& request, const LocalNames& names);

// The "search" and "domain" entries of a resolv.conf.
QStringList searchDomains(QByteArrayView resolvConf);
