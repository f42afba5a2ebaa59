#include "TestSupport.h"

#include <QElapsedTimer>
#include <QTest>

using namespace std::chrono_literals;

class HeartbeatTest : public QObject
{
    Q_OBJECT
private slots:
    void firstPingComesAfterOneInterval();
    void silenceFailsAtThresholdAndPongRestoresWithoutTimers();
    void silenceFailsWithinOneCheckAfterThreshold();
    void neverAnsweringClientIsNeverDeclaredDead();
    void newConnectionTakesOverTheCheck();
};

namespace {

// A clock the test moves by hand, and intervals short enough to run quickly.
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
    double now = 100.0;
    std::unique_ptr<ServerHarness> server;
};

int countLines(const RecordingLog& log, const QString& line)
{
    return int(log.lines.count(line));
}

const QString kFailureLine = QStringLiteral("Heartbeat stopped after receiving pong recently.");

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

void HeartbeatTest::silenceFailsAtThresholdAndPongRestoresWithoutTimers()
{
    ManualClockServer fixture;
    ServerHarness& server = *fixture.server;
    TestClient client(server.url());
    client.send("pong");
    QVERIFY(client.sync());

    fixture.now += 9.999;
    QTest::qWait(100); // several checks
    QCOMPARE(server.model->connectionStatus(), QStringLiteral("Connected"));

    fixture.now = 110.0;
    QTRY_COMPARE(server.model->connectionStatus(), QStringLiteral("Connection Failed"));
    QCOMPARE(countLines(server.log, kFailureLine), 1);

    // A late pong brings the status back, but neither ping nor check resumes.
    const int pings = client.count("PING");
    client.send("pong");
    QVERIFY(client.sync());
    QCOMPARE(server.model->connectionStatus(), QStringLiteral("Connected"));
    fixture.now += 20;
    QTest::qWait(100);
    QCOMPARE(server.model->connectionStatus(), QStringLiteral("Connected"));
    QCOMPARE(client.count("PING"), pings);
    QCOMPARE(countLines(server.log, kFailureLine), 1);
}

void HeartbeatTest::silenceFailsWithinOneCheckAfterThreshold()
{
    // The real clock: the failure falls between the threshold and the
    // threshold plus one check interval after the last pong.
    ServerSettings settings = testSettings();
    settings.heartbeat.pingInterval = 100ms;
    settings.heartbeat.checkInterval = 100ms;
    settings.heartbeat.livenessThresholdSeconds = 0.2;
    ServerHarness server(settings);
    TestClient client(server.url());
    client.send("pong");
    QVERIFY(client.sync());
    QElapsedTimer sincePong;
    sincePong.start();
    QTRY_COMPARE_WITH_TIMEOUT(server.model->connectionStatus(), QStringLiteral("Connection Failed"),
                              5000);
    QVERIFY(sincePong.elapsed() >= 200);
    QVERIFY2(sincePong.elapsed() <= 300 + 250, "failure came later than one check interval allows");
}

void HeartbeatTest::neverAnsweringClientIsNeverDeclaredDead()
{
    ManualClockServer fixture;
    ServerHarness& server = *fixture.server;
    TestClient client(server.url());
    fixture.now += 1000;
    QTRY_VERIFY(client.count("PING") >= 3);
    QCOMPARE(server.model->connectionStatus(), QStringLiteral("Not connected"));
    QCOMPARE(countLines(server.log, kFailureLine), 0);
}

void HeartbeatTest::newConnectionTakesOverTheCheck()
{
    ManualClockServer fixture;
    ServerHarness& server = *fixture.server;
    TestClient first(server.url());
    first.send("pong");
    QVERIFY(first.sync());
    fixture.now += 20;
    QTRY_COMPARE(server.model->connectionStatus(), QStringLiteral("Connection Failed"));

    // The pong time is shared, and the old one is stale: the newcomer's first
    // check fails unless a pong comes first.
    TestClient second(server.url());
    QTRY_COMPARE(countLines(server.log, kFailureLine), 2);

    TestClient third(server.url());
    third.send("pong");
    QVERIFY(third.sync());
    TestClient fourth(server.url());
    const int thirdPings = third.count("PING");
    QTRY_VERIFY(third.count("PING") > thirdPings + 2); // the earlier link keeps its own pings
    QTRY_VERIFY(fourth.count("PING") >= 2);
    QCOMPARE(countLines(server.log, kFailureLine), 2);
}

QTEST_GUILESS_MAIN(HeartbeatTest)
#include "tst_heartbeat.moc"
