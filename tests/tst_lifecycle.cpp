#include "TestSupport.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>

class LifecycleTest : public QObject
{
    Q_OBJECT
private slots:
    void startsStoppedThenReadyAfterStarting();
    void restartClearsAtOnceAndStartsAfterTheDelay();
    void twoQuickRestartsEndReady();
};

void LifecycleTest::startsStoppedThenReadyAfterStarting()
{
    RecordingEventLayer events;
    RecordingLog log;
    WebSocketViewModel model(events, log, testSettings());
    QCOMPARE(model.serverStatus(), QStringLiteral("Stopped"));
    QCOMPARE(model.connectionStatus(), QStringLiteral("Not connected"));
    QCOMPARE(model.listeningPort(), quint16(0)); // nothing listens before the start

    QStringList statuses;
    connect(&model, &WebSocketViewModel::serverStatusChanged,
            [&] { statuses.append(model.serverStatus()); });

    model.startServer();
    QCOMPARE(statuses, QStringList{"Starting server..."});
    QVERIFY(model.listeningPort() != 0);
    QTRY_COMPARE(statuses.size(), 2);
    QCOMPARE(statuses[1], QStringLiteral("Server ready on port %1").arg(model.listeningPort()));
    QVERIFY(log.lines.isEmpty());
}

void LifecycleTest::restartClearsAtOnceAndStartsAfterTheDelay()
{
    ServerSettings settings = testSettings();
    settings.restartDelay = std::chrono::milliseconds(300);
    settings.heartbeat.pingInterval = std::chrono::milliseconds(100);
    ServerHarness server(settings);
    TestClient old(server.url());
    old.send("pong");
    old.send("w");
    QVERIFY(old.sync());
    QCOMPARE(server.model->connectionStatus(), QStringLiteral("Connected"));

    QElapsedTimer clock;
    qint64 startedAfter = -1;
    connect(server.model.get(), &WebSocketViewModel::serverStatusChanged, [&] {
        if (server.model->serverStatus() == u"Starting server...")
            startedAfter = clock.elapsed();
    });
    clock.start();
    server.model->restartServer();
    QCOMPARE(server.model->serverStatus(), QStringLiteral("Restarting server..."));
    QCOMPARE(server.model->connectionStatus(), QStringLiteral("Not connected"));
    QVERIFY(server.model->receivedMessages().isEmpty());
    QCOMPARE(server.model->listeningPort(), quint16(0));
    QCOMPARE(server.model->keyStates().value(13), true); // keys are not the restart's business

    QTRY_VERIFY(server.model->serverStatus().startsWith(u"Server ready on port "));
    QVERIFY2(startedAfter >= 300, qPrintable(QString::number(startedAfter)));

    // Connections accepted before the restart are still served, heartbeat too.
    old.send("x");
    QVERIFY(old.sync());
    QCOMPARE(server.model->receivedMessages(), QStringList{"x"});
    const int pings = old.count("PING");
    QTRY_VERIFY(old.count("PING") > pings);
    TestClient fresh(server.url());
    QVERIFY(fresh.sync());
    QVERIFY(old.isConnected());
}

void LifecycleTest::twoQuickRestartsEndReady()
{
    ServerSettings settings = testSettings();
    settings.port = [] {
        QTcpServer probe;
        probe.listen(QHostAddress::Any);
        return probe.serverPort();
    }();
    settings.restartDelay = std::chrono::milliseconds(100);
    ServerHarness server(settings);

    server.model->restartServer();
    QTest::qWait(30);
    server.model->restartServer();
    QTRY_VERIFY(server.model->serverStatus().startsWith(u"Server ready on port "));
    QTest::qWait(200); // both delayed starts have run
    QCOMPARE(server.model->serverStatus(),
             QStringLiteral("Server ready on port %1").arg(settings.port));
    TestClient client(server.url());
    QVERIFY(client.sync());
}

QTEST_GUILESS_MAIN(LifecycleTest)
#include "tst_lifecycle.moc"
