#include "TestSupport.h"

#include <QElapsedTimer>
#include <QTest>

using namespace std::chrono_literals;

// Each link is judged by its own pongs, on a clock the test moves by hand; the
// timers run fast, and nothing is asserted that depends on their phase.
class HeartbeatTest : public QObject
{
    Q_OBJECT
private slots:
    void firstPingComesAfterOneInterval();
    void staleOrAbsentPongsFailNoFreshLink();
    void failedLinkIsStillWatchedAndComesBack();
    void deadPadLinkLetsGoOfEverything();
    void endsAreJudgedByHowTheLinkEnded();
    void silentClientIsClosed();
};

namespace {

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
    int failures() const { return int(server->log.lines.count(kFailureLine)); }
    QString status() const { return server->model->connectionStatus(); }

    static inline const QString kFailureLine =
        QStringLiteral("Heartbeat stopped after receiving pong recently.");
    double now = 100.0;
    std::unique_ptr<ServerHarness> server;
};

} // namespace

void HeartbeatTest::firstPingComesAfterOneInterval()
{
    ServerSettings settings = testSettings();
    settings.heartbeat.pingInterval = 200ms;
    ServerHarness server(settings);
    QElapsedTimer sinceConnect;
    sinceConnect.start();
    TestClient client(server.url());
    QVERIFY(client.sync());
    QCOMPARE(client.count("PING"), 0);
    QTRY_COMPARE(client.count("PING"), 1);
    QVERIFY(sinceConnect.elapsed() >= 190);
    QCOMPARE(server.model->connectionStatus(), QStringLiteral("Not connected"));
}

void HeartbeatTest::staleOrAbsentPongsFailNoFreshLink()
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

    fresh.send("pong");
    QVERIFY(fresh.sync());
    QCOMPARE(fixture.status(), QStringLiteral("Connected"));
    fixture.now += 9.999;
    QTest::qWait(100); // several checks
    QCOMPARE(fixture.failures(), 0);
    QCOMPARE(fixture.server->events.keyTrace(), QStringList({"+13"}));

    fixture.now += 0.001; // exactly the threshold fails, and lets go of its keys
    QTRY_COMPARE(fixture.failures(), 1);
    QCOMPARE(fixture.status(), QStringLiteral("Connection Failed"));
    QCOMPARE(fixture.server->events.keyTrace(), QStringList({"+13", "-13"}));
}

void HeartbeatTest::failedLinkIsStillWatchedAndComesBack()
{
    ManualClockServer fixture;
    TestClient phone(fixture.server->url());
    TestClient other(fixture.server->url());
    phone.send("pong");
    other.send("pong");
    QVERIFY(phone.sync() && other.sync());

    // An outage: only the phone falls silent.
    fixture.now += 10;
    other.send("pong");
    QVERIFY(other.sync());
    QTRY_COMPARE(fixture.failures(), 1);

    // Pinging goes on; the phone's answer brings it back under watch.
    const int pings = phone.count("PING");
    QTRY_VERIFY(phone.count("PING") > pings);
    phone.send("pong");
    phone.send("w");
    QVERIFY(phone.sync());
    QCOMPARE(fixture.status(), QStringLiteral("Connected"));
    fixture.now += 10;
    QTRY_COMPARE(fixture.failures(), 3); // both links, each once
    QCOMPARE(fixture.server->events.keyTrace(), QStringList({"+13", "-13"}));
}

void HeartbeatTest::deadPadLinkLetsGoOfEverything()
{
    ManualClockServer fixture;
    TestClient pad(fixture.server->padUrl());
    for (const char* message : {"pong", "a", "ls 1 0", "l2 1"})
        pad.send(QString::fromLatin1(message));
    QVERIFY(pad.sync());
    fixture.now += 10;
    QTRY_COMPARE(fixture.failures(), 1);
    QCOMPARE(fixture.server->log.lines.last(),
             QStringLiteral("pad 1: BTN_SOUTH 0 ABS_X 0 ABS_Z 0"));
}

void HeartbeatTest::endsAreJudgedByHowTheLinkEnded()
{
    ManualClockServer fixture;
    auto goodbye = std::make_unique<TestClient>(fixture.server->url());
    goodbye->send("pong");
    QVERIFY(goodbye->sync());
    goodbye->socket.close(); // a close frame: no failure, nobody left
    QTRY_COMPARE(fixture.status(), QStringLiteral("Not connected"));
    goodbye.reset();
    fixture.now += 20;
    QTest::qWait(100);
    QCOMPARE(fixture.failures(), 0);

    // A link that drops without a goodbye lets go of its keys at once and is
    // reported dead once its silence passes the threshold.
    TestClient vanishing(fixture.server->url());
    vanishing.send("pong");
    vanishing.send("a");
    QVERIFY(vanishing.sync());
    vanishing.socket.abort();
    QTRY_COMPARE(fixture.server->events.keyTrace(), QStringList({"+0", "-0"}));
    QCOMPARE(fixture.status(), QStringLiteral("Connected"));
    fixture.now += 10;
    QTRY_COMPARE(fixture.failures(), 1);
    QCOMPARE(fixture.status(), QStringLiteral("Connection Failed"));
}

void HeartbeatTest::silentClientIsClosed()
{
    ServerSettings settings = testSettings();
    settings.firstMessageDeadline = 200ms;
    ServerHarness server(settings);
    TestClient silent(server.url());
    TestClient talking(server.url());
    QVERIFY(talking.sync());
    QTRY_VERIFY(!silent.isConnected());
    QCOMPARE(int(silent.socket.closeCode()), 1008);
    QTest::qWait(300);
    QVERIFY(talking.isConnected());
}

QTEST_GUILESS_MAIN(HeartbeatTest)
#include "tst_heartbeat.moc"
