#include "RecordingPads.h"
#include "TestSupport.h"

#include <QTcpSocket>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// Each link is judged by its own pongs, on a clock the test moves by hand; the
// timers run fast, and nothing is asserted that depends on their phase.
ServerSettings manualClock(const double& now)
{
    ServerSettings settings = testSettings();
    settings.heartbeat.pingInterval = 20ms;
    settings.heartbeat.checkInterval = 20ms;
    settings.heartbeat.clock = [&now] {
        return now;
    };
    return settings;
}

int failures(const ServerHarness& server)
{
    return int(server.log.lines.count("Heartbeat stopped after receiving pong recently."));
}

} // namespace

class ProtocolTest : public QObject
{
    Q_OBJECT
private slots:
    void dispatchesByGrammar()
    {
        // A message, the key events it posts, what the received log shows, the output.
        const std::tuple<QString, QStringList, QStringList, QString> rows[] = {
            {u"\u00a0D\u2028"_s, {"+2"}, {"d"}, "key pressed : 2"},
            {"a-z", {"-0"}, {}, "key released : 0"}, // a hyphen anywhere releases
            {"", {}, {""}, "Invalid key: "},
            {"Mouse -1 0", {}, {}, "Simulated scroll with x: -50.0, y: 0.0"},
            {"xmousey", {}, {}, "Invalid message format"},
            {u"\u00c9"_s, {}, {u"\u00e9"_s}, u"Invalid key: \u00e9"_s},
        };
        for (const auto& [message, keys, logged, line] : rows) {
            ServerHarness server;
            TestClient client(server.url());
            client.send(message);
            QVERIFY(client.sync());
            QCOMPARE(server.events.keyTrace(), keys);
            QCOMPARE(server.model->receivedMessages(), logged);
            QCOMPARE(server.log.lines, QStringList({"Client connected from 127.0.0.1", line}));
            QCOMPARE(client.received, QStringList{"HSK_DONE"});
        }
    }

    void oddFramesAreReadSafely()
    {
        ServerHarness server;
        TestClient client(server.url());
        client.socket.sendBinaryMessage("up"); // binary frames count when they are UTF-8
        client.socket.sendBinaryMessage(QByteArray("\xff\xfe", 2));
        client.socket.sendBinaryMessage("\xc3\xa9");
        // Frames up to 64 KiB are read, but no message is longer than 256 bytes.
        client.send(QString(64 * 1024, u'x'));
        client.send(QStringLiteral(" %1 ").arg(QString(257, u'z')));
        client.send(QStringLiteral(" %1 ").arg(QString(256, u'x')));
        QVERIFY(client.sync());
        QCOMPARE(server.events.keyTrace(), QStringList({"+126", "+7"}));
        QCOMPARE(server.log.lines,
                 QStringList({"Client connected from 127.0.0.1", "key pressed : 126",
                              "No data received or could not decode message.",
                              QStringLiteral("Invalid key: \u00e9"),
                              "Ignored a message from 127.0.0.1: longer than 256 bytes",
                              "key pressed : 7"}));
        client.socket.close();
        QTRY_VERIFY(server.log.lines.contains(
            "Ignored 2 messages from 127.0.0.1 in all: longer than 256 bytes"));
    }

    void endedConnectionsAreFreed()
    {
        ServerSettings settings = testSettings();
        settings.heartbeat.pingInterval = 10ms;
        ServerHarness server(settings);
        const qsizetype objectsBefore = server.model->findChildren<QObject*>().size();
        for (int i = 0; i < 300; ++i) {
            TestClient client(server.url());
            QVERIFY(client.isConnected());
            if (i % 2)
                client.socket.close();
            else
                client.socket.abort();
        }
        QTRY_COMPARE(server.model->findChildren<QTcpSocket*>().size(), 0);
        QTRY_COMPARE(server.model->findChildren<QObject*>().size(), objectsBefore);
        QTest::qWait(50); // several ping intervals: nothing may go to the dead links
        QVERIFY(server.log.lines.filter("Error sending message").isEmpty());
    }

    void padLinksAreGamePads()
    {
        ServerHarness server;
        std::vector<std::unique_ptr<TestClient>> players;
        while (players.size() < 8)
            players.push_back(std::make_unique<TestClient>(server.padUrl()));
        TestClient& second = *players[1];
        for (const char* message : {"A", "ls 1 -0.5", "pong", "no", "up", "ls 1 -0.5", "w"})
            second.send(QString::fromLatin1(message));
        QVERIFY(second.sync());
        QCOMPARE(second.received, QStringList({"PLAYER 2", "HSK_DONE"}));
        QCOMPARE(server.log.lines.filter(QRegularExpression("^pad \\d:")),
                 QStringList({"pad 2: BTN_SOUTH 1", "pad 2: ABS_X 32767 ABS_Y -16384",
                              "pad 2: ABS_HAT0Y -1"}));
        // One line, however many are ignored.
        QCOMPARE(server.log.lines.filter("Ignored a game pad message"),
                 QStringList{"Ignored a game pad message from 127.0.0.1: no such button"});
        QCOMPARE(server.model->connectionStatus(), QStringLiteral("Connected"));
        QVERIFY(server.events.posted.isEmpty());
        server.pads->pads.at(1)->playRumble(65535, 512, 200);
        QTRY_COMPARE(second.received.last(), QStringLiteral("RUMBLE 65535 512 200"));

        // There are eight; a freed one goes to the next player, with its number.
        QTRY_COMPARE(server.model->gamePads(), 8);
        const auto refusal = [&server] {
            TestClient pad(server.padUrl());
            (void)QTest::qWaitFor([&] { return !pad.isConnected(); }, 5000);
            return QString::number(pad.socket.closeCode()) + u' ' + pad.socket.closeReason();
        };
        QCOMPARE(refusal(), QStringLiteral("1008 All 8 game pads are in use"));
        players[0]->socket.close();
        QTRY_COMPARE(server.model->gamePads(), 7);
        TestClient next(server.padUrl());
        QTRY_COMPARE(next.count("PLAYER 1"), 1);
        players[2]->socket.close();
        QTRY_COMPARE(server.model->gamePads(), 7);
        server.pads->failure = QStringLiteral("/dev/uinput: Permission denied");
        QVERIFY(!server.model->gamePadsOff());
        QCOMPARE(refusal(), QStringLiteral("1011 Game pads are off on this computer. On the "
                                           "computer: see \"Game pads\" in Kestrelio's window"));
        QVERIFY(
            server.log.lines.contains("No game pad for 127.0.0.1: /dev/uinput: Permission denied"));
        QVERIFY(server.model->gamePadsOff()); // the window now says how to turn them on
    }

    void pagesHearWhetherInputWorks()
    {
        ServerHarness server;
        const QString origin = QStringLiteral("http://127.0.0.1:%1").arg(server.url().port());
        server.model->setInputOffReason(QStringLiteral("Nothing can type here"));
        TestClient page(server.url(), origin);
        TestClient app(server.url());
        TestClient padPage(server.padUrl(), origin);
        for (TestClient* client : {&page, &app, &padPage})
            QVERIFY(client->sync());
        server.model->setInputOffReason(std::nullopt);
        server.model->setInputOffReason(std::nullopt); // no change, nothing sent
        for (TestClient* client : {&page, &app, &padPage})
            QVERIFY(client->sync());
        QCOMPARE(page.received, QStringList({"INPUT OFF Nothing can type here", "HSK_DONE",
                                             "INPUT ON", "HSK_DONE"}));
        // Apps speak the protocol they always spoke; a pad types no keys.
        QCOMPARE(app.received, QStringList({"HSK_DONE", "HSK_DONE"}));
        QCOMPARE(padPage.received, QStringList({"PLAYER 1", "HSK_DONE", "HSK_DONE"}));
    }

    void silentClientIsClosed()
    {
        ServerSettings settings = testSettings();
        settings.firstMessageDeadline = 200ms;
        ServerHarness server(settings);
        TestClient talking(server.url());
        QVERIFY(talking.sync());
        TestClient silent(server.url());
        QTRY_VERIFY(!silent.isConnected());
        QCOMPARE(int(silent.socket.closeCode()), 1008);
        QVERIFY(talking.sync()); // the deadline is only for the first message
        QCOMPARE(server.model->connectionStatus(), QStringLiteral("Not connected")); // no pong yet
    }

    void staleOrAbsentPongsFailNoFreshLink()
    {
        double now = 100;
        ServerHarness server(manualClock(now));
        {
            TestClient earlier(server.url());
            earlier.send("pong");
            QVERIFY(earlier.sync());
        }
        now += 15; // the earlier link's pong is long stale
        TestClient fresh(server.url());
        fresh.send("w");
        QVERIFY(fresh.sync());
        now += 1000; // never ponged: never judged
        QTRY_VERIFY(fresh.count("PING") >= 3);
        QCOMPARE(failures(server), 0);

        TestClient pad(server.padUrl());
        for (const char* message : {"pong", "a", "ls 1 0", "l2 1"})
            pad.send(QString::fromLatin1(message));
        fresh.send("pong");
        QVERIFY(fresh.sync() && pad.sync());
        now += 9.999;
        QTest::qWait(100); // several checks
        QCOMPARE(failures(server), 0);

        // Exactly the threshold fails, and a dead link lets go of all it holds.
        now += 0.001;
        QTRY_COMPARE(failures(server), 2);
        QCOMPARE(server.model->connectionStatus(), QStringLiteral("Connection Failed"));
        QCOMPARE(server.events.keyTrace(), QStringList({"+13", "-13"}));
        QVERIFY(server.log.lines.contains("pad 1: BTN_SOUTH 0 ABS_X 0 ABS_Z 0"));
    }

    // The silent phone fails once, and is watched again once it answers. A
    // link closed with a goodbye is never failed; one that vanished is, once
    // its silence passes the threshold.
    void linksAreJudgedAfterAnOutageAndAfterTheirEnd()
    {
        double now = 100;
        ServerHarness server(manualClock(now));
        TestClient phone(server.url());
        TestClient other(server.url());
        TestClient goodbye(server.url());
        for (TestClient* client : {&phone, &other, &goodbye}) {
            client->send("pong");
            QVERIFY(client->sync());
        }
        goodbye.socket.close();
        QTRY_COMPARE(server.model->findChildren<QWebSocket*>().size(), 2);
        // The other answers halfway, so no check can find it silent.
        now += 5;
        other.send("pong");
        QVERIFY(other.sync());
        now += 5;
        QTRY_COMPARE(failures(server), 1);

        const int pings = phone.count("PING");
        QTRY_VERIFY(phone.count("PING") > pings);
        phone.send("pong");
        phone.send("w");
        QVERIFY(phone.sync());
        QCOMPARE(server.model->connectionStatus(), QStringLiteral("Connected"));
        other.socket.abort();
        QTRY_COMPARE(server.model->findChildren<QWebSocket*>().size(), 1);
        now += 10;
        QTRY_COMPARE(failures(server), 3);
        QCOMPARE(server.model->connectionStatus(), QStringLiteral("Connection Failed"));
        QCOMPARE(server.events.keyTrace(), QStringList({"+13", "-13"}));
    }

    // Phone A vanished without a close frame; phone B answers. A's silence is
    // reported with its address, but the status stays B's until B is gone too.
    void aDeadLinkNeverHidesAnAnsweringOne()
    {
        double now = 100;
        ServerHarness server(manualClock(now));
        QStringList statuses;
        connect(server.model.get(), &WebSocketViewModel::connectionStatusChanged, this,
                [&] { statuses.append(server.model->connectionStatus()); });
        {
            TestClient phoneA(server.url());
            phoneA.send("pong");
            QVERIFY(phoneA.sync());
            phoneA.socket.abort();
            QTRY_COMPARE(server.model->findChildren<QWebSocket*>().size(), 0);
        }
        now += 8;
        TestClient phoneB(server.url());
        phoneB.send("w");
        QVERIFY(phoneB.sync());
        now += 2; // A is silent for the threshold; B is new and has not answered yet
        QTRY_COMPARE(failures(server), 1);
        QVERIFY(server.log.lines.contains(
            "No heartbeat answer from 127.0.0.1 for 10 s: its keys were released"));
        phoneB.send("pong");
        QVERIFY(phoneB.sync());
        QCOMPARE(server.events.keyTrace(), QStringList{"+13"});

        phoneB.socket.abort();
        now += 10;
        QTRY_COMPARE(failures(server), 2);
        QCOMPARE(statuses, QStringList({"Connected", "Connected", "Connection Failed"}));
        QCOMPARE(server.events.keyTrace(), QStringList({"+13", "-13"}));
    }
};

QTEST_GUILESS_MAIN(ProtocolTest)
#include "tst_protocol.moc"
