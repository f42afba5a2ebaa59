#include "RawWebSocket.h"
#include "TestSupport.h"
#include "server/RequestPolicy.h"

#include <QTcpSocket>
#include <QTest>

using namespace std::chrono_literals;

class FrontDoorTest : public QObject
{
    Q_OBJECT
private slots:
    void policyJudgesHostAndOrigin_data();
    void policyJudgesHostAndOrigin();
    void refusedUpgradeGetsForbidden();
    void oversizedHeadIsClosed();
    void slowHeadIsClosed();
    void plainRequestsGetThePage_data();
    void plainRequestsGetThePage();
};

namespace {

// Sends raw bytes and returns all the server answered until it closed.
QByteArray exchange(quint16 port, const QByteArray& bytes, bool waitForClose = true)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return "no connection";
    socket.write(bytes);
    QByteArray answer;
    (void)QTest::qWaitFor(
        [&] {
            answer += socket.readAll();
            return waitForClose ? socket.state() == QAbstractSocket::UnconnectedState
                                : answer.contains("\r\n\r\n");
        },
        5000);
    return answer + socket.readAll();
}

} // namespace

void FrontDoorTest::policyJudgesHostAndOrigin_data()
{
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<bool>("refused");

    const auto row = [](const char* name, const QByteArray& host, const QByteArray& origin,
                        bool refused) {
        QTest::newRow(name) << host << origin << refused;
    };
    row("native client by address", "192.168.1.20:3330", {}, false);
    row("IPv6 literal", "[fe80::1]:3330", {}, false);
    row("localhost with a trailing dot", "localhost.:3330", "http://localhost.:3330", false);
    row("machine name .local", "mypc.local:3330", "http://mypc.local:3330", false);
    row("router's name for it", "MyPC.fritz.box:3330", "http://mypc.fritz.box:3330", false);
    row("page served from the same host", "192.168.1.20:3330", "http://192.168.1.20:3330", false);
    row("same IPv6 host spelt otherwise", "[::1]:3330", "http://[0:0::1]:3330", false);
    row("another server on this computer", "127.0.0.1:3330", "http://127.0.0.1:8080", true);
    row("https origin", "192.168.1.20:3330", "https://192.168.1.20:3330", true);
    row("page from another site", "192.168.1.20:3330", "https://evil.example", true);
    row("sandboxed page", "127.0.0.1:3330", "null", true);
    row("rebound name", "evil.example:3330", "http://evil.example:3330", true);
    row("machine name with suffix", "mypcx.local", {}, true);
    row("bad port", "127.0.0.1:33x", {}, true);
    row("no host", {}, {}, true);
}

void FrontDoorTest::policyJudgesHostAndOrigin()
{
    QFETCH(QByteArray, host);
    QFETCH(QByteArray, origin);
    QFETCH(bool, refused);

    QByteArray head = "GET / HTTP/1.1\r\n";
    if (!host.isEmpty())
        head += "Host: " + host + "\r\n";
    if (!origin.isEmpty())
        head += "Origin: " + origin + "\r\n";
    const std::optional<RequestHead> request = parseRequestHead(head + "\r\n");
    QVERIFY(request);
    const LocalNames names{QStringLiteral("mypc"),
                           searchDomains("# resolver\nsearch fritz.box lan.\nnameserver ::1\n")};
    QCOMPARE(refusalReason(*request, names).has_value(), refused);
}

void FrontDoorTest::refusedUpgradeGetsForbidden()
{
    ServerHarness server;
    const QByteArray answer =
        exchange(server.model->listeningPort(),
                 RawWebSocket::upgradeRequest("127.0.0.1", "https://evil.example"));
    QVERIFY2(answer.startsWith("HTTP/1.1 403 Forbidden\r\n"), answer.constData());
    QVERIFY(!answer.contains("101"));
    QCOMPARE(server.log.lines,
             QStringList{"Rejected connection from 127.0.0.1: Origin https://evil.example does "
                         "not match Host 127.0.0.1"});
    QVERIFY(server.events.posted.isEmpty());
}

void FrontDoorTest::oversizedHeadIsClosed()
{
    ServerHarness server;
    const QByteArray padding = "X-Padding: " + QByteArray(8 * 1024, 'p') + "\r\n";
    QByteArray request = RawWebSocket::upgradeRequest("127.0.0.1");
    request.insert(request.size() - 2, padding);
    QVERIFY(exchange(server.model->listeningPort(), request).isEmpty());

    // A head just under the limit still passes.
    QByteArray fits = RawWebSocket::upgradeRequest("127.0.0.1");
    fits.insert(fits.size() - 2,
                "X-Padding: " + QByteArray(8 * 1024 - fits.size() - 13, 'p') + "\r\n");
    QCOMPARE(fits.size(), 8 * 1024);
    QVERIFY(exchange(server.model->listeningPort(), fits, false).startsWith("HTTP/1.1 101"));
}

void FrontDoorTest::slowHeadIsClosed()
{
    ServerSettings settings = testSettings();
    settings.frontDoor.headTimeout = 200ms;
    ServerHarness server(settings);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server.model->listeningPort());
    QVERIFY(socket.waitForConnected(5000));
    socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 5000);
    QTRY_COMPARE(server.model->findChildren<QTcpSocket*>().size(), 0);
}

void FrontDoorTest::plainRequestsGetThePage_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("bodyStart"); // empty: no body

    const QByteArray html = "text/html; charset=utf-8";
    const QByteArray plain = "text/plain; charset=utf-8";
    QTest::newRow("page") << QByteArray("GET / HTTP/1.1") << QByteArray("200 OK") << html
                          << QByteArray("<!doctype html>");
    QTest::newRow("head") << QByteArray("HEAD / HTTP/1.1") << QByteArray("200 OK") << html
                          << QByteArray();
    QTest::newRow("script") << QByteArray("GET /controller.js HTTP/1.1") << QByteArray("200 OK")
                            << QByteArray("text/javascript; charset=utf-8")
                            << QByteArray("// The phone side");
    QTest::newRow("other path") << QByteArray("GET /admin HTTP/1.1") << QByteArray("404 Not Found")
                                << plain << QByteArray("Not Found");
    QTest::newRow("path escaping the site")
        << QByteArray("GET /../etc/passwd HTTP/1.1") << QByteArray("404 Not Found") << plain
        << QByteArray("Not Found");
    QTest::newRow("other method") << QByteArray("POST / HTTP/1.1")
                                  << QByteArray("405 Method Not Allowed") << plain
                                  << QByteArray("Method Not Allowed");
    QTest::newRow("malformed") << QByteArray("HELLO") << QByteArray("400 Bad Request") << plain
                               << QByteArray("Bad Request");
}

void FrontDoorTest::plainRequestsGetThePage()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, bodyStart);

    ServerHarness server;
    const QByteArray answer =
        exchange(server.model->listeningPort(), request + "\r\nHost: 192.168.1.20:3330\r\n\r\n");
    const qsizetype split = answer.indexOf("\r\n\r\n");
    QVERIFY2(split > 0, answer.constData());
    const QList<QByteArray> head = answer.first(split).split('\n');
    const QByteArray body = answer.sliced(split + 4);
    QCOMPARE(head.first().trimmed(), "HTTP/1.1 " + status);
    QMap<QByteArray, QByteArray> headers;
    for (const QByteArray& line : head.mid(1))
        headers.insert(line.first(line.indexOf(':')).toLower(),
                       line.sliced(line.indexOf(':') + 1).trimmed());
    QCOMPARE(headers.value("content-type"), contentType);
    QCOMPARE(headers.value("cache-control"), QByteArray("no-store"));
    QCOMPARE(headers.value("x-content-type-options"), QByteArray("nosniff"));
    // A request without a Host names no WebSocket the page may reach.
    const QByteArray webSocket = status.startsWith("400") ? "" : " ws://192.168.1.20:3330";
    QCOMPARE(headers.value("content-security-policy"),
             "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
             "connect-src 'self'" +
                 webSocket + "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
    QVERIFY(headers.value("content-length").toInt() > 0);
    if (bodyStart.isEmpty()) {
        QVERIFY(body.isEmpty());
    } else {
        QCOMPARE(body.size(), headers.value("content-length").toInt());
        QVERIFY2(body.startsWith(bodyStart), body.left(80).constData());
    }
    if (status.startsWith("405"))
        QCOMPARE(headers.value("allow"), QByteArray("GET, HEAD"));
    QVERIFY(server.log.lines.isEmpty());
}

QTEST_GUILESS_MAIN(FrontDoorTest)
#include "tst_front_door.moc"
