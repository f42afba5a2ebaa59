#include "TestSupport.h"

#include <QTcpServer>
#include <QTest>

#include <linux/input-event-codes.h>

class LifecycleTest : public QObject
{
    Q_OBJECT
private slots:
    void restartClearsAtOnceButKeepsConnections();
};

void LifecycleTest::restartClearsAtOnceButKeepsConnections()
{
    ServerSettings settings = testSettings();
    // A fixed port: a second start on it fails while the first one holds it.
    settings.port = [] {
        QTcpServer probe;
        probe.listen(QHostAddress::Any);
        return probe.serverPort();
    }();
    settings.restartDelay = std::chrono::milliseconds(300);
    settings.heartbeat.pingInterval = std::chrono::milliseconds(100);
    ServerHarness server(settings);
    WebSocketViewModel& model = *server.model;
    const QString ready = QStringLiteral("Server ready on port %1").arg(settings.port);
    TestClient old(server.url());
    old.send("pong");
    old.send("w");
    QVERIFY(old.sync());
    QCOMPARE(model.connectionStatus(), QStringLiteral("Connected"));

    // Its status and its delay are checked through the window's Refresh button.
    model.restartServer();
    QCOMPARE(model.connectionStatus(), QStringLiteral("Not connected"));
    QVERIFY(model.receivedMessages().isEmpty());
    QCOMPARE(model.listeningPort(), quint16(0));
    QCOMPARE(model.keyStates().value(KEY_W), true); // keys are not the restart's business
    QTRY_COMPARE(model.serverStatus(), ready);

    // Connections accepted before the restart are still served, heartbeat too.
    old.send("x");
    QVERIFY(old.sync());
    QCOMPARE(model.receivedMessages(), QStringList{"x"});
    const int pings = old.count("PING");
    QTRY_VERIFY(old.count("PING") > pings);

    // Two restarts within the delay end with one server.
    model.restartServer();
    QTest::qWait(100);
    model.restartServer();
    QTRY_COMPARE(model.serverStatus(), ready);
    QTest::qWait(400); // both delayed starts have run
    QCOMPARE(model.serverStatus(), ready);
    TestClient fresh(server.url());
    QVERIFY(fresh.sync());
    QVERIFY(old.isConnected());
}

QTEST_GUILESS_MAIN(LifecycleTest)
#include "tst_lifecycle.moc"
