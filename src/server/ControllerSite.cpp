#include "server/ControllerSite.h"

#include <QFile>
#include <QRegularExpression>

namespace {

struct Asset
{
    QByteArrayView path;
    const char* resource;
    QByteArrayView contentType;
};

constexpr Asset kAssets[] = {
    {"/", ":/web/controller.html", "text/html; charset=utf-8"},
    {"/controller.css", ":/web/controller.css", "text/css; charset=utf-8"},
    {"/controller.js", ":/web/controller.js", "text/javascript; charset=utf-8"},
    {"/pad.js", ":/web/pad.js", "text/javascript; charset=utf-8"},
    {"/touch.js", ":/web/touch.js", "text/javascript; charset=utf-8"},
    {"/controls.js", ":/web/controls.js", "text/javascript; charset=utf-8"},
    {"/editor.js", ":/web/editor.js", "text/javascript; charset=utf-8"},
    {"/motion.js", ":/web/motion.js", "text/javascript; charset=utf-8"},
    {"/icon.svg", ":/web/icon.svg", "image/svg+xml"},
};

QByteArray readResource(const char* path)
{
    QFile file(QString::fromLatin1(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

QByteArray HttpResponse::serialize(QByteArrayView policy) const
{
    QByteArray text = "HTTP/1.1 " + status + "\r\nContent-Type: " + contentType +
                      "\r\nContent-Length: " + QByteArray::number(body.size()) +
                      "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
                      "Content-Security-Policy: " +
                      policy.toByteArray() + "\r\nConnection: close\r\n";
    for (const auto& [name, value] : extraHeaders)
        text += name + ": " + value + "\r\n";
    text += "\r\n";
    if (!headOnly)
        text += body;
    return text;
}

HttpResponse plainTextResponse(QByteArrayView status, QByteArrayView text)
{
    return {status.toByteArray(), "text/plain; charset=utf-8", text.toByteArray() + '\n', {}};
}

bool isWebSocketUpgrade(const RequestHead& request)
{
    return request.header("upgrade").has_value();
}

HttpResponse respondToPageRequest(const RequestHead& request)
{
    const bool head = request.method == "HEAD";
    if (request.method != "GET" && !head) {
        HttpResponse response = plainTextResponse("405 Method Not Allowed", "Method Not Allowed");
        response.extraHeaders.append(std::pair<QByteArray, QByteArray>("Allow", "GET, HEAD"));
        return response;
    }
    const QByteArrayView path =
        QByteArrayView(request.target)
            .first(request.target.contains('?') ? request.target.indexOf('?')
                                                : request.target.size());
    for (const Asset& asset : kAssets) {
        if (asset.path == path) {
            HttpResponse response{
                "200 OK", asset.contentType.toByteArray(), readResource(asset.resource), {}};
            response.headOnly = head;
            return response;
        }
    }
    HttpResponse response = plainTextResponse("404 Not Found", "Not Found");
    response.headOnly = head;
    return response;
}

QByteArray contentSecurityPolicy(const RequestHead& request)
{
    // The Host header goes into a header of ours: only a plain host and port.
    static const QRegularExpression plainHost(QStringLiteral(R"(\A[A-Za-z0-9.\-:\[\]]{1,255}\z)"));
    QByteArray connect = "'self'";
    if (const std::optional<QByteArray> host = request.header("host");
        host && plainHost.match(QString::fromLatin1(*host)).hasMatch())
        connect += " ws://" + *host + " wss://" + *host;
    return "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
           "connect-src " +
           connect + "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
}
