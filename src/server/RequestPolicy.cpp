#include "server/RequestPolicy.h"

#include <QHostAddress>
#include <QUrl>

namespace {

struct HostAndPort
{
    QString host;
    int port = 80;
};

// "host", "host:port", "[v6]" or "[v6]:port"; none when the port is no number.
std::optional<HostAndPort> splitHostHeader(const QByteArray& value)
{
    const QString text = QString::fromLatin1(value);
    QString host = text;
    QString port;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return std::nullopt;
        host = text.sliced(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != u':')
                return std::nullopt;
            port = text.sliced(close + 2);
        }
    } else if (const qsizetype colon = text.indexOf(u':'); colon >= 0) {
        host = text.first(colon);
        port = text.sliced(colon + 1);
    }
    HostAndPort result{host, 80};
    if (!port.isNull()) {
        bool ok = false;
        result.port = port.toInt(&ok);
        if (!ok || result.port <= 0 || result.port > 65535)
            return std::nullopt;
    }
    return result;
}

QString withoutTrailingDot(const QString& host)
{
    return host.endsWith(u'.') ? host.chopped(1) : host;
}

bool sameHost(const QString& a, const QString& b)
{
    const QHostAddress addressA(a);
    const QHostAddress addressB(b);
    if (!addressA.isNull() && !addressB.isNull())
        return addressA.isEqual(addressB);
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool isTrustedHostName(const QString& host, const LocalNames& names)
{
    if (!QHostAddress(host).isNull())
        return true;
    const QString bare = withoutTrailingDot(host);
    const auto is = [&bare](const QString& name) {
        return !name.isEmpty() && bare.compare(name, Qt::CaseInsensitive) == 0;
    };
    if (is(QStringLiteral("localhost")))
        return true;
    if (names.hostName.isEmpty())
        return false;
    if (is(names.hostName) || is(names.hostName + QStringLiteral(".local")))
        return true;
    return std::any_of(names.searchDomains.begin(), names.searchDomains.end(),
                       [&](const QString& domain) {
                           return is(names.hostName + u'.' + withoutTrailingDot(domain));
                       });
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

std::optional<QString> refusalReason(const RequestHead& request, const LocalNames& names)
{
    const std::optional<QByteArray> hostHeader = request.header("host");
    if (!hostHeader || hostHeader->isEmpty())
        return QStringLiteral("no Host header");
    const std::optional<HostAndPort> host = splitHostHeader(*hostHeader);
    if (!host || !isTrustedHostName(host->host, names))
        return QStringLiteral("Host %1 is neither an address nor this computer's name")
            .arg(QString::fromLatin1(*hostHeader));
    // Only the page this server sent may open a socket from a browser: another
    // server on this computer (another port) is another origin.
    if (const std::optional<QByteArray> origin = request.header("origin")) {
        const QUrl url(QString::fromLatin1(*origin), QUrl::StrictMode);
        const bool own =
            url.isValid() &&
            (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https")) &&
            url.path().isEmpty() && url.userInfo().isEmpty() &&
            sameHost(withoutTrailingDot(url.host()), withoutTrailingDot(host->host)) &&
            url.port(80) == host->port;
        if (!own)
            return QStringLiteral("Origin %1 does not match Host %2")
                .arg(QString::fromLatin1(*origin), QString::fromLatin1(*hostHeader));
    }
    return std::nullopt;
}

QStringList searchDomains(QByteArrayView resolvConf)
{
    QStringList domains;
    for (const QByteArray& line : resolvConf.toByteArray().split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() >= 2 && (words[0] == "search" || words[0] == "domain")) {
            for (const QByteArray& word : words.mid(1)) {
                if (!domains.contains(QString::fromLatin1(word)))
                    domains.append(QString::fromLatin1(word));
            }
        }
    }
    return domains;
}
