#include "RawWebSocket.h"
#include "RecordingPads.h"
#include "TestSupport.h"

#include <QTcpSocket>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

class ProtocolTest : public QObject
{
    Q_OBJECT
private slots:
    void dispatchesByGrammar_data();
    void dispatchesByGrammar();
    void binaryFramesAreTextWhenValidUtf8();
    void overlongMessagesAreIgnoredWithOneLine();
    void endedConnectionsAreFreed();
    void peerIgnoringTheCloseIsStillCut();
    void clientThatNeverReadsIsClosed();
    void clientsBeyondTheCapAreRefused();
    void padsGetPlayersFramesAndRumble();
    void padsBeyondEightOrWithoutUinputAreRefused();
};

void ProtocolTest::dispatchesByGrammar_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("keys");   // key events posted
    QTest::addColumn<QStringList>("logged"); // entries added to the received log
    QTest::addColumn<QStringList>("lines");  // standard output

    QTest::newRow("press") << "W" << QStringList{"+13"} << QStringList{"w"}
                           << QStringList{"key pressed : 13"};
    QTest::newRow("release") << "-w" << QStringList{"-13"} << QStringList{}
                             << QStringList{"key released : 13"};
    QTest::newRow("hyphen inside")
        << "a-b" << QStringList{"-0"} << QStringList{} << QStringList{"key released : 0"};
    QTest::newRow("empty") << "" << QStringList{} << QStringList{""}
                           << QStringList{"Invalid key: "};
    QTest::newRow("mouse wins over hyphen")
        << "Mouse -1 0" << QStringList{} << QStringList{}
        << QStringList{"Simulated scroll with x: -50.0, y: 0.0"};
    QTest::newRow("mouse anywhere")
        << "xmousey" << QStringList{} << QStringList{} << QStringList{"Invalid message format"};
    QTest::newRow("unicode lowercase")
        << QStringLiteral("\u00c9") << QStringList{} << QStringList{QStringLiteral("\u00e9")}
        << QStringList{QStringLiteral("Invalid key: \u00e9")};
    QTest::newRow("no-break space trimmed") << QStringLiteral("\u00a0d\u2028") << QStringList{"+2"}
                                            << QStringList{"d"} << QStringList{"key pressed : 2"};
}

void ProtocolTest::dispatchesByGrammar()
{
    QFETCH(QString, message);
    QFETCH(QStringList, keys);
    QFETCH(QStringList, logged);
    QFETCH(QStringList, lines);

    ServerHarness server;
    TestClient client(server.url());
    client.send(message);
    QVERIFY(client.sync());

    QCOMPARE(server.events.keyTrace(), keys);
    QCOMPARE(server.model->receivedMessages(), logged);
    QCOMPARE(server.log.lines, QStringList{"Client connected from 127.0.0.1"} + lines);
    QCOMPARE(client.received, QStringList{"HSK_DONE"});
    QCOMPARE(server.model->connectionStatus(), QStringLiteral("Not connected"));
}

void ProtocolTest::binaryFramesAreTextWhenValidUtf8()
{
    ServerHarness server;
    TestClient client(server.url());
    client.socket.sendBinaryMessage("up");
    client.socket.sendBinaryMessage(QByteArray("\xff\xfe", 2));
    client.socket.sendBinaryMessage("\xc3\xa9"); // é
    client.socket.sendBinaryMessage("hsk");
    QTRY_COMPARE(client.received, QStringList{"HSK_DONE"});
    QCOMPARE(server.log.lines, QStringList({"Client connected from 127.0.0.1", "key pressed : 126",
                                            "No data received or could not decode message.",
                                            QStringLiteral("Invalid key: \u00e9")}));
}

void ProtocolTest::overlongMessagesAreIgnoredWithOneLine()
{
    ServerHarness server;
    TestClient client(server.url());
    // Frames up to 64 KiB are read, but no key, scroll or handshake is longer
    // than 256 bytes.
    client.send(QString(64 * 1024, u'x'));
    client.send(QStringLiteral(" %1 ").arg(QString(257, u'z')));
    client.send(QStringLiteral(" %1 ").arg(QString(256, u'x')));
    QVERIFY(client.sync());
    QCOMPARE(server.events.keyTrace(), QStringList({"+7"}));
    QCOMPARE(server.log.lines.filter("Ignored a message").size(), 1);
    client.socket.close();
    QTRY_VERIFY(server.log.lines.contains(
        "Ignored 2 messages from 127.0.0.1 in all: longer than 256 bytes"));
}

void ProtocolTest::endedConnectionsAreFreed()
{
    ServerSettings settings = testSettings();
    settings.heartbeat.pingInterval = std::chrono::milliseconds(10);
    ServerHarness server(settings);
    const auto liveObjects = [&server] {
        return server.model->findChildren<QObject*>().size();
    };
    const auto timers = [&server] {
        return server.model->findChildren<QTimer*>().size();
    };
    const qsizetype objectsBefore = liveObjects();
    const qsizetype timersBefore = timers();

    for (int i = 0; i < 300; ++i) {
        TestClient client(server.url());
        QVERIFY(client.isConnected());
        if (i % 2)
            client.socket.close();
        else
            client.socket.abort();
    }
    QTRY_COMPARE(server.model->findChildren<QWebSocket*>().size(), 0);
    QTRY_COMPARE(server.model->findChildren<QTcpSocket*>().size(), 0);
    QTRY_COMPARE(liveObjects(), objectsBefore);
    QCOMPARE(timers(), timersBefore);

    QTest::qWait(50); // several ping intervals: nothing may go to the dead links
    QVERIFY(server.log.lines.filter("Error sending message").isEmpty());
}

void ProtocolTest::peerIgnoringTheCloseIsStillCut()
{
    ServerHarness server;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server.model->listeningPort());
    QVERIFY(socket.waitForConnected(5000));
    socket.write(RawWebSocket::upgradeRequest("127.0.0.1"));
    QVERIFY(QTest::qWaitFor([&] { return socket.bytesAvailable() > 0; }, 5000));
    QVERIFY(socket.readAll().startsWith("HTTP/1.1 101"));

    socket.write(RawWebSocket::clientFrame("w"));
    socket.write(RawWebSocket::clientFrame(QByteArray(64 * 1024 + 1, 'z')));
    QByteArray answer;
    QVERIFY(QTest::qWaitFor(
        [&] {
            answer += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        10000));
    QVERIFY(answer.startsWith("\x88"));                              // a close frame...
    QCOMPARE(answer.mid(2, 2), QByteArray("\x03\xf1"));              // ...with status 1009
    QCOMPARE(server.events.keyTrace(), QStringList({"+13", "-13"})); // its key let go
}

void ProtocolTest::clientThatNeverReadsIsClosed()
{
    ServerHarness server;
    TestClient bystander(server.url());

    // WebSocket pings, answered by the server, into a socket nobody reads.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server.model->listeningPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    QByteArray pending = RawWebSocket::upgradeRequest("127.0.0.1");
    const QByteArray pings = RawWebSocket::clientFrame(QByteArray(125, 'p'), 0x9).repeated(64);
    qint64 sent = 0;
    const bool closed = QTest::qWaitFor(
        [&] {
            for (int burst = 0; burst < 64; ++burst) {
                if (pending.isEmpty())
                    pending = pings;
                const ssize_t n =
                    ::send(fd, pending.constData(), size_t(pending.size()), MSG_NOSIGNAL);
                if (n > 0) {
                    sent += n;
                    pending.remove(0, n);
                }
                QCoreApplication::processEvents(); // the server's turn
            }
            return !server.log.lines.filter("it reads nothing").isEmpty();
        },
        30000);
    ::close(fd);
    QVERIFY2(closed, qPrintable(QStringLiteral("still open after %1 bytes").arg(sent)));
    QCOMPARE(server.log.lines
                 .filter("Closed the connection from 127.0.0.1: it reads nothing of "
                         "what is sent to it")
                 .size(),
             1);
    QVERIFY(bystander.sync());
}

void ProtocolTest::clientsBeyondTheCapAreRefused()
{
    ServerSettings settings = testSettings();
    settings.frontDoor.maxClients = 2;
    ServerHarness server(settings);
    TestClient first(server.url());
    TestClient second(server.url());
    QVERIFY(first.sync() && second.sync());
    TestClient third(server.url());
    QVERIFY(!third.isConnected());
    QCOMPARE(server.log.lines
                 .filter("Rejected connection from 127.0.0.1: already serving 2 "
                         "clients")
                 .size(),
             1);

    second.socket.close();
    QTRY_VERIFY(TestClient(server.url()).sync()); // a place is free again
}

void ProtocolTest::padsGetPlayersFramesAndRumble()
{
    ServerHarness server;
    TestClient first(server.padUrl());
    TestClient second(server.padUrl());
    QVERIFY(first.sync() && second.sync());
    QCOMPARE(first.received, QStringList({"PLAYER 1", "HSK_DONE"}));
    QCOMPARE(second.received, QStringList({"PLAYER 2", "HSK_DONE"}));
    QCOMPARE(server.model->gamePads(), 2);

    for (const char* message : {"A", "ls 1 -0.5", "pong", "no", "up", "ls 1 -0.5", "w"})
        second.send(QString::fromLatin1(message));
    QVERIFY(second.sync());
    QCOMPARE(server.log.lines.filter(QRegularExpression("^pad \\d:")),
             QStringList(
                 {"pad 2: BTN_SOUTH 1", "pad 2: ABS_X 32767 ABS_Y -16384", "pad 2: ABS_HAT0Y -1"}));
    QCOMPARE(server.log.lines.filter("Ignored a game pad message"),
             QStringList{"Ignored a game pad message from 127.0.0.1: no such button"});
    QCOMPARE(server.model->connectionStatus(), QStringLiteral("Connected"));
    QVERIFY(server.events.posted.isEmpty());

    server.pads->pads.at(1)->playRumble(65535, 512, 200);
    QTRY_COMPARE(second.received.last(), QStringLiteral("RUMBLE 65535 512 200"));

    first.socket.close();
    QTRY_COMPARE(server.model->gamePads(), 1);
    QVERIFY(server.pads->pads.at(0).isNull());
    TestClient third(server.padUrl());
    QVERIFY(third.sync());
    QCOMPARE(third.received.first(), QStringLiteral("PLAYER 1"));
    QCOMPARE(server.log.lines.filter("Game pad "),
             QStringList({"Game pad 1 connected (Kestrelio pad 1)",
                          "Game pad 2 connected (Kestrelio pad 2)", "Game pad 1 removed",
                          "Game pad 1 connected (Kestrelio pad 1)"}));

    // The key protocol on any other path is untouched.
    TestClient keys(server.url());
    keys.send("a");
    QVERIFY(keys.sync());
    QCOMPARE(keys.received, QStringList{"HSK_DONE"});
    QCOMPARE(server.events.keyTrace(), QStringList{"+0"});
    QCOMPARE(server.model->gamePads(), 2);
}

void ProtocolTest::padsBeyondEightOrWithoutUinputAreRefused()
{
    ServerHarness server;
    std::vector<std::unique_ptr<TestClient>> players;
    for (int i = 0; i < 8; ++i) {
        players.push_back(std::make_unique<TestClient>(server.padUrl()));
        QVERIFY(players.back()->sync());
    }
    TestClient ninth(server.padUrl());
    QTRY_VERIFY(!ninth.isConnected());
    QCOMPARE(int(ninth.socket.closeCode()), 1008);
    QCOMPARE(ninth.socket.closeReason(), QStringLiteral("All 8 game pads are in use"));
    QCOMPARE(server.model->gamePads(), 8);

    players.clear();
    QTRY_COMPARE(server.model->gamePads(), 0);
    server.pads->failure = QStringLiteral("/dev/uinput: Permission denied");
    TestClient refused(server.padUrl());
    QTRY_VERIFY(!refused.isConnected());
    QCOMPARE(int(refused.socket.closeCode()), 1011);
    QCOMPARE(refused.socket.closeReason(),
             QStringLiteral("Game pads need /dev/uinput: see Input permissions in the README"));
    QVERIFY(server.log.lines.contains("No game pad for 127.0.0.1: /dev/uinput: Permission denied"));
}

QTEST_GUILESS_MAIN(ProtocolTest)
#include "tst_protocol.moc"
