#include "RawWebSocket.h"
#include "TestSupport.h"
#include "server/RequestPolicy.h"

#include <QTcpSocket>
#include <QTest>

using namespace std::chrono_literals;

namespace {

// Sends raw bytes; returns what the server answered until it closed, or until
// the end of its answer's head. "(open)" marks a connection still open.
QByteArray exchange(quint16 port, const QByteArray& bytes, bool untilClosed = true)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return "(no connection)";
    socket.write(bytes);
    QByteArray answer;
    const bool done = QTest::qWaitFor(
        [&] {
            answer += socket.readAll();
            return untilClosed ? socket.state() == QAbstractSocket::UnconnectedState
                               : answer.contains("\r\n\r\n");
        },
        5000);
    return answer + socket.readAll() + (done ? "" : "(open)");
}

} // namespace

class FrontDoorTest : public QObject
{
    Q_OBJECT
private slots:
    void policyJudgesHostAndOrigin()
    {
        const LocalNames names{
            QStringLiteral("mypc"),
            searchDomains("# resolver\nsearch fritz.box lan.\nnameserver ::1\n")};
        const struct
        {
            QByteArray host, origin; // empty: none
            bool refused;
        } rows[] = {
            {"192.168.1.20:3330", "", false}, // a native app
            {"localhost.:3330", "http://localhost.:3330", false},
            {"mypc.local:3330", "http://mypc.local:3330", false},
            {"MyPC.fritz.box:3330", "http://mypc.fritz.box:3330", false}, // the router's name
            {"192.168.1.20:3330", "http://192.168.1.20:3330", false},
            {"[::1]:3330", "http://[0:0::1]:3330", false},
            {"127.0.0.1:3330", "http://127.0.0.1:8080", true}, // another server here
            {"192.168.1.20:3330", "https://192.168.1.20:3330", true},
            {"192.168.1.20:3330", "https://evil.example", true},
            {"127.0.0.1:3330", "null", true},                        // a sandboxed page
            {"evil.example:3330", "http://evil.example:3330", true}, // a rebound name
            {"mypcx.local", "", true},
            {"127.0.0.1:33x", "", true},
            {"", "", true},
        };
        QList<QByteArray> wrong;
        for (const auto& row : rows) {
            const std::optional<RequestHead> request = parseRequestHead(
                "GET / HTTP/1.1\r\n" + (row.host.isEmpty() ? "" : "Host: " + row.host + "\r\n") +
                (row.origin.isEmpty() ? "" : "Origin: " + row.origin + "\r\n") + "\r\n");
            if (!request || refusalReason(*request, names).has_value() != row.refused)
                wrong.append(row.host + ' ' + row.origin);
        }
        QCOMPARE(wrong, QList<QByteArray>());
    }

    void badHeadsAreRefusedOrCut()
    {
        ServerSettings settings = testSettings();
        settings.frontDoor.headTimeout = 200ms;
        ServerHarness server(settings);
        const quint16 port = server.model->listeningPort();

        const QByteArray forbidden =
            exchange(port, RawWebSocket::upgradeRequest("127.0.0.1", "https://evil.example"));
        QVERIFY2(forbidden.startsWith("HTTP/1.1 403 Forbidden\r\n"), forbidden.constData());
        QCOMPARE(server.log.lines,
                 QStringList{"Rejected connection from 127.0.0.1: Origin "
                             "https://evil.example does not match Host 127.0.0.1"});

        // Heads are cut at 8 KiB; one of exactly 8 KiB still passes.
        QByteArray fits = RawWebSocket::upgradeRequest("127.0.0.1");
        fits.insert(fits.size() - 2,
                    "X-Padding: " + QByteArray(8 * 1024 - fits.size() - 13, 'p') + "\r\n");
        QCOMPARE(fits.size(), 8 * 1024);
        QVERIFY(exchange(port, fits, false).startsWith("HTTP/1.1 101"));
        QCOMPARE(exchange(port, QByteArray(fits).insert(fits.size() - 4, 'p')), QByteArray());

        QCOMPARE(exchange(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"), QByteArray());
        QTRY_COMPARE(server.model->findChildren<QTcpSocket*>().size(), 0);
        QVERIFY(server.events.posted.isEmpty());
    }

    void plainRequestsGetThePage()
    {
        ServerHarness server;
        const struct
        {
            QByteArray request, status, type, body; // body: its start; empty: none
        } rows[] = {
            {"GET /", "200 OK", "text/html", "<!doctype html>"},
            {"HEAD /", "200 OK", "text/html", ""},
            {"GET /controller.js", "200 OK", "text/javascript", "// The phone side"},
            {"GET /../etc/passwd", "404 Not Found", "text/plain", "Not Found"},
            {"POST /", "405 Method Not Allowed", "text/plain", "Method Not Allowed"},
            {"HELLO", "400 Bad Request", "text/plain", "Bad Request"},
        };
        QByteArray pageLength; // HEAD announces what GET sends
        for (const auto& row : rows) {
            const QByteArray answer =
                exchange(server.model->listeningPort(),
                         row.request + " HTTP/1.1\r\nHost: 192.168.1.20:3330\r\n\r\n");
            const qsizetype split = answer.indexOf("\r\n\r\n");
            const QByteArray head = answer.first(qMax(split + 2, 0));
            const QByteArray body = answer.mid(split + 4);
            // A request without a Host names no WebSocket the page may reach.
            const QByteArray webSocket =
                row.status.startsWith("400") ? "" : " ws://192.168.1.20:3330";
            const QByteArray length =
                row.body.isEmpty() ? pageLength : QByteArray::number(body.size());
            pageLength = length;
            const bool good =
                head.startsWith("HTTP/1.1 " + row.status + "\r\nContent-Type: " + row.type +
                                "; charset=utf-8\r\nContent-Length: " + length + "\r\n") &&
                head.contains(
                    "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
                    "Content-Security-Policy: default-src 'none'; script-src 'self'; "
                    "style-src 'self'; img-src 'self'; connect-src 'self'" +
                    webSocket +
                    "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'\r\n") &&
                body.startsWith(row.body) && (!row.body.isEmpty() || body.isEmpty()) &&
                head.contains("\r\nAllow: GET, HEAD\r\n") == row.status.startsWith("405");
            QVERIFY2(good, answer.left(600).constData());
        }
        QVERIFY(server.log.lines.isEmpty());
    }
};

QTEST_GUILESS_MAIN(FrontDoorTest)
#include "tst_front_door.moc"
