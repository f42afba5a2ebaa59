#include "TestSupport.h"

#include <QTest>

using namespace std::chrono_literals;

namespace {

// Each link is judged by its own pongs, on a clock the test moves by hand; the
// timers run fast, and nothing is asserted that depends on their phase.
struct ManualClockServer
{
    ManualClockServer()
    {
        ServerSettings settings = testSettings();
        settings.heartbeat.pingInterval = 20ms;
        settings.heartbeat.checkInterval = 20ms;
        settings.heartbeat.clock = [this] {
            return now;
        };
        server = std::make_unique<ServerHarness>(settings);
    }
    int failures() const
    {
        return int(server->log.lines.count("Heartbeat stopped after receiving pong recently."));
    }
    QString status() const { return server->model->connectionStatus(); }

    double now = 100.0;
    std::unique_ptr<ServerHarness> server;
};

} // namespace

class HeartbeatTest : public QObject
{
    Q_OBJECT
private slots:
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
        ManualClockServer fixture;
        {
            TestClient earlier(fixture.server->url());
            earlier.send("pong");
            QVERIFY(earlier.sync());
        }
        fixture.now += 15; // the earlier link's pong is long stale
        TestClient fresh(fixture.server->url());
        fresh.send("w");
        QVERIFY(fresh.sync());
        fixture.now += 1000; // never ponged: never judged
        QTRY_VERIFY(fresh.count("PING") >= 3);
        QCOMPARE(fixture.failures(), 0);

        TestClient pad(fixture.server->padUrl());
        for (const char* message : {"pong", "a", "ls 1 0", "l2 1"})
            pad.send(QString::fromLatin1(message));
        fresh.send("pong");
        QVERIFY(fresh.sync() && pad.sync());
        QCOMPARE(fixture.status(), QStringLiteral("Connected"));
        fixture.now += 9.999;
        QTest::qWait(100); // several checks
        QCOMPARE(fixture.failures(), 0);

        // Exactly the threshold fails, and a dead link lets go of all it holds.
        fixture.now += 0.001;
        QTRY_COMPARE(fixture.failures(), 2);
        QCOMPARE(fixture.status(), QStringLiteral("Connection Failed"));
        QCOMPARE(fixture.server->events.keyTrace(), QStringList({"+13", "-13"}));
        QVERIFY(fixture.server->log.lines.contains("pad 1: BTN_SOUTH 0 ABS_X 0 ABS_Z 0"));
    }

    // The silent phone fails once, and is watched again once it answers. A
    // link closed with a goodbye is never failed; one that vanished is, once
    // its silence passes the threshold.
    void linksAreJudgedAfterAnOutageAndAfterTheirEnd()
    {
        ManualClockServer fixture;
        const auto links = [&fixture] {
            return fixture.server->model->findChildren<QWebSocket*>().size();
        };
        TestClient phone(fixture.server->url());
        TestClient other(fixture.server->url());
        TestClient goodbye(fixture.server->url());
        for (TestClient* client : {&phone, &other, &goodbye}) {
            client->send("pong");
            QVERIFY(client->sync());
        }
        goodbye.socket.close();
        QTRY_COMPARE(links(), 2);
        fixture.now += 10;
        other.send("pong");
        QVERIFY(other.sync());
        QTRY_COMPARE(fixture.failures(), 1);

        const int pings = phone.count("PING");
        QTRY_VERIFY(phone.count("PING") > pings);
        phone.send("pong");
        phone.send("w");
        QVERIFY(phone.sync());
        QCOMPARE(fixture.status(), QStringLiteral("Connected"));
        other.socket.abort();
        QTRY_COMPARE(links(), 1);
        fixture.now += 10;
        QTRY_COMPARE(fixture.failures(), 3);
        QCOMPARE(fixture.status(), QStringLiteral("Connection Failed"));
        QCOMPARE(fixture.server->events.keyTrace(), QStringList({"+13", "-13"}));
    }
};

QTEST_GUILESS_MAIN(HeartbeatTest)
#include "tst_heartbeat.moc"
