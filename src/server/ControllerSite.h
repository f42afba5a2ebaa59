#pragma once

#include "server/RequestPolicy.h"

#include <QByteArray>
#include <QList>

#include <utility>

struct HttpResponse
{
    QByteArray status; // "200 OK"
    QByteArray contentType;
    QByteArray body;
    QList<std::pair<QByteArray, QByteArray>> extraHeaders;
    bool headOnly = false;

    // The whole response as sent: the connection closes after it.
    QByteArray serialize(QByteArrayView contentSecurityPolicy) const;
};

HttpResponse plainTextResponse(QByteArrayView status, QByteArrayView text);

// Whether the request asks to become a WebSocket; everything else is a plain
// HTTP request for the controller page.
bool isWebSocketUpgrade(const RequestHead& request);

// The controller page and its assets, compiled into the program: GET or HEAD
// of a known path, 404 for any other path, 405 for any other method.
HttpResponse respondToPageRequest(const RequestHead& request);

// Only the page's own script and style, and a WebSocket to the host the page
// came from.
QByteArray contentSecurityPolicy(const RequestHead& request);
