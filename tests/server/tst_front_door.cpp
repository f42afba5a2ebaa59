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
        // Host, Origin (empty: none), refused.
        const std::tuple<QByteArray, QByteArray, bool> rows[] = {
            {"192.168.1.20:3330", "", false}, // a native app
            {"localhost.:3330", "http://localhost.:3330", false},
            {"mypc.local:3330", "http://mypc.local:3330", false},
            {"MyPC.fritz.box:3330", "http://mypc.fritz.box:3330", false}, // the router's name
            {"192.168.1.20:3330", "http://192.168.1.20:3330", false},
            {"[::1]:3330", "http://[0:0::1]:3330", false},
            {"127.0.0.1:3330", "http://127.0.0.1:8080", true},         // another server here
            {"192.168.1.20:3330", "https://192.168.1.20:3330", false}, // served over TLS
            {"192.168.1.20:3330", "https://192.168.1.20:3331", true},
            {"192.168.1.20:3330", "https://evil.example", true},
            {"127.0.0.1:3330", "null", true},                        // a sandboxed page
            {"evil.example:3330", "http://evil.example:3330", true}, // a rebound name
            {"mypcx.local", "", true},
            {"127.0.0.1:33x", "", true},
            {"", "", true},
        };
        QList<QByteArray> wrong;
        for (const auto& [host, origin, refused] : rows) {
            const std::optional<RequestHead> request = parseRequestHead(
                "GET / HTTP/1.1\r\n" + (host.isEmpty() ? "" : "Host: " + host + "\r\n") +
                (origin.isEmpty() ? "" : "Origin: " + origin + "\r\n") + "\r\n");
            if (!request || refusalReason(*request, names).has_value() != refused)
                wrong.append(host + ' ' + origin);
        }
        QVERIFY2(wrong.isEmpty(), wrong.join(", ").constData());
    }

    void badHeadsAreRefused()
    {
        ServerSettings settings = testSettings();
        settings.frontDoor.headTimeout = 200ms;
        ServerHarness server(settings);
        const quint16 port = server.model->listeningPort();

        QVERIFY(exchange(port, RawWebSocket::upgradeRequest("127.0.0.1", "https://evil.example"))
                    .startsWith("HTTP/1.1 403 Forbidden\r\n"));
        QCOMPARE(server.log.lines.last(), "Rejected connection from 127.0.0.1: Origin "
                                          "https://evil.example does not match Host 127.0.0.1");

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
        const auto get = [&server](const QByteArray& request) {
            return exchange(server.model->listeningPort(),
                            request + " HTTP/1.1\r\nHost: 192.168.1.20:3330\r\n\r\n");
        };
        const QByteArray page = get("GET /");
        QVERIFY2(
            page.startsWith("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n") &&
                page.contains("\r\n\r\n<!doctype html>") &&
                page.contains("\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
                              "Content-Security-Policy: default-src 'none'; script-src 'self'; "
                              "style-src 'self'; img-src 'self'; connect-src 'self' "
                              "ws://192.168.1.20:3330 wss://192.168.1.20:3330; base-uri 'none'; "
                              "form-action 'none'; "
                              "frame-ancestors 'none'\r\n"),
            page.left(600).constData());
        QCOMPARE(get("HEAD /"), page.first(page.indexOf("\r\n\r\n") + 4));
        const std::pair<QByteArray, QByteArray> answers[] = {
            {"GET /../etc/passwd", "404 Not Found\r\n"},
            {"POST /", "405 Method Not Allowed\r\n"},
            {"HELLO", "400 Bad Request\r\n"},
        };
        for (const auto& [request, status] : answers) {
            const QByteArray answer = get(request);
            QVERIFY2(answer.startsWith("HTTP/1.1 " + status), answer.left(600).constData());
        }
        QVERIFY(get("POST /").contains("\r\nAllow: GET, HEAD\r\n"));
        QVERIFY(server.log.lines.isEmpty());
    }

    void peerIgnoringTheCloseIsStillCut()
    {
        ServerHarness server;
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.model->listeningPort());
        QVERIFY(socket.waitForConnected(5000));
        socket.write(RawWebSocket::upgradeRequest("127.0.0.1"));
        QVERIFY(QTest::qWaitFor([&] { return socket.bytesAvailable() > 0; }, 5000));
        QVERIFY(socket.readAll().startsWith("HTTP/1.1 101"));
        socket.write(RawWebSocket::clientFrame("w") +
                     RawWebSocket::clientFrame(QByteArray(64 * 1024 + 1, 'z')));
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 10000);
        const QByteArray close = socket.readAll();
        QVERIFY(close.startsWith("\x88"));                               // a close frame...
        QCOMPARE(close.mid(2, 2), QByteArray("\x03\xf1"));               // ...with status 1009
        QCOMPARE(server.events.keyTrace(), QStringList({"+13", "-13"})); // its key let go
    }

    void clientThatNeverReadsIsClosed()
    {
        ServerHarness server;
        TestClient bystander(server.url());
        // WebSocket pings, answered by the server, into a socket that takes
        // nothing from the kernel's buffers.
        QTcpSocket socket;
        socket.setReadBufferSize(1);
        socket.connectToHost(QHostAddress::LocalHost, server.model->listeningPort());
        QVERIFY(socket.waitForConnected(5000));
        socket.write(RawWebSocket::upgradeRequest("127.0.0.1") +
                     RawWebSocket::clientFrame(QByteArray(125, 'p'), 0x9).repeated(128 * 1024));
        const QString closed =
            "Closed the connection from 127.0.0.1: it reads nothing of what is sent to it";
        QTRY_VERIFY_WITH_TIMEOUT(server.log.lines.contains(closed), 30000);
        QCOMPARE(server.log.lines.count(closed), 1);
        QVERIFY(bystander.sync());
    }
};

QTEST_GUILESS_MAIN(FrontDoorTest)
#include "tst_front_door.moc"
