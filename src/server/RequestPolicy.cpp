#include "server/RequestPolicy.h"

#include <QHostAddress>
#include <QUrl>

namespace {

// "host", "host:port", "[v6]" or "[v6]:port" to the bare host.
QString hostOfHostHeader(const QByteArray& value)
{
    const QString text = QString::fromLatin1(value);
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        return close < 0 ? QString() : text.sliced(1, close - 1);
    }
    const qsizetype colon = text.indexOf(u':');
    return colon < 0 ? text : text.first(colon);
}

bool sameHost(const QString& a, const QString& b)
{
    const QHostAddress addressA(a);
    const QHostAddress addressB(b);
    if (!addressA.isNull() && !addressB.isNull())
        return addressA.isEqual(addressB);
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool isTrustedHostName(const QString& host, const QString& localHostName)
{
    if (!QHostAddress(host).isNull())
        return true;
    const auto is = [&host](const QString& name) {
        return !name.isEmpty() && host.compare(name, Qt::CaseInsensitive) == 0;
    };
    return is(QStringLiteral("localhost")) || is(localHostName) ||
           is(localHostName + QStringLiteral(".local"));
}

} // namespace

std::optional<QByteArray> RequestHead::header(QByteArrayView lowercaseName) const
{
    for (const auto& [name, value] : headers) {
        if (name == lowercaseName)
            return value;
    }
    return std::nullopt;
}

std::optional<RequestHead> parseRequestHead(QByteArrayView head)
{
    const QList<QByteArray> lines = head.toByteArray().split('\n');
    if (lines.isEmpty())
        return std::nullopt;
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || requestLine[0].isEmpty() || requestLine[1].isEmpty() ||
        !requestLine[2].startsWith("HTTP/1."))
        return std::nullopt;

    RequestHead request{requestLine[0], requestLine[1], {}};
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
        if (line.isEmpty())
            continue;
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return std::nullopt;
        request.headers.append(
            {line.first(colon).trimmed().toLower(), line.sliced(colon + 1).trimmed()});
    }
    return request;
}

std::optional<QString> refusalReason(const RequestHead& request, const QString& localHostName)
{
    const std::optional<QByteArray> hostHeader = request.header("host");
    if (!hostHeader || hostHeader->isEmpty())
        return QStringLiteral("no Host header");
    const QString host = hostOfHostHeader(*hostHeader);
    if (const std::optional<QByteArray> origin = request.header("origin")) {
        const QString originHost = QUrl(QString::fromLatin1(*origin)).host();
        if (!sameHost(originHost, host))
            return QStringLiteral("Origin %1 does not match Host %2")
                .arg(QString::fromLatin1(*origin), QString::fromLatin1(*hostHeader));
    }
    if (!isTrustedHostName(host, localHostName))
        return QStringLiteral("Host %1 is neither an address nor this computer's name")
            .arg(QString::fromLatin1(*hostHeader));
    return std::nullopt;
}
