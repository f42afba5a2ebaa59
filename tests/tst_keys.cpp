#include "TestSupport.h"
#include "input/KeyMap.h"
#include "input/KeySynthesizer.h"

#include <QTest>

class KeysTest : public QObject
{
    Q_OBJECT
private slots:
    void resolvesNamesAndFirstCharacters_data();
    void resolvesNamesAndFirstCharacters();
    void filterPostsOnlyStateChanges();
    void namesSharingACodeShareItsState();
    void unknownNamesAndFailedSourcesPostNothing();
    void failedEventCreationStillUpdatesState();
    void connectionEndReleasesItsKeysInPressOrder();
    void heartbeatFailureReleasesEveryKey();
};

void KeysTest::resolvesNamesAndFirstCharacters_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("code"); // -1: no code

    QTest::newRow("up") << "up" << 126;
    QTest::newRow("start") << "start" << 36;
    QTest::newRow("r2") << "r2" << 17;
    QTest::newRow("UP is not up") << "UP" << -1;
    QTest::newRow("up with a space is u") << "up " << 32;
    QTest::newRow("select") << "select" << 49;
    QTest::newRow("space character") << " " << 49;
    QTest::newRow("space is S") << "space" << 1;
    QTest::newRow("jump is J") << "jump" << 38;
    QTest::newRow("l1") << "l1" << 12;
    QTest::newRow("q") << "q" << 12;
    QTest::newRow("z") << "z" << 6;
    QTest::newRow("capital letter") << "A" << -1;
    QTest::newRow("digit") << "1" << -1;
    QTest::newRow("hyphen") << "-" << -1;
    QTest::newRow("precomposed e acute") << QStringLiteral("\u00e9") << -1;
    QTest::newRow("e with combining accent") << QStringLiteral("e\u0301") << -1;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("line break inside") << "a\nb" << 0;
}

void KeysTest::resolvesNamesAndFirstCharacters()
{
    QFETCH(QString, name);
    QFETCH(int, code);
    const std::optional<AnsiKeyCode> resolved = resolveKeyCode(namedKeys(), name);
    QCOMPARE(resolved ? int(*resolved) : -1, code);
}

void KeysTest::filterPostsOnlyStateChanges()
{
    RecordingEventLayer events;
    RecordingLog log;
    KeySynthesizer keys(events, log);

    QVERIFY(keys.keyStates().isEmpty());
    QCOMPARE(keys.simulateKey("up", KeyAction::Press), AnsiKeyCode{126});
    QCOMPARE(keys.simulateKey("up", KeyAction::Press), std::nullopt);
    QCOMPARE(keys.simulateKey("up", KeyAction::Release), AnsiKeyCode{126});
    QCOMPARE(keys.simulateKey("up", KeyAction::Release), std::nullopt);
    // Never pressed, yet the first release goes out.
    QCOMPARE(keys.simulateKey("left", KeyAction::Release), AnsiKeyCode{123});

    QCOMPARE(events.keyTrace(), QStringList({"+126", "-126", "-123"}));
    QCOMPARE(log.lines,
             QStringList({"key pressed : 126", "key released : 126", "key released : 123"}));
    for (const auto& posted : events.posted)
        QCOMPARE(posted.tap, TapLocation::AnnotatedSession);
    QCOMPARE(keys.keyStates().value(126), false);
    QCOMPARE(keys.keyStates().value(123), false);
}

void KeysTest::namesSharingACodeShareItsState()
{
    RecordingEventLayer events;
    RecordingLog log;
    KeySynthesizer keys(events, log);

    keys.simulateKey("l1", KeyAction::Press);
    keys.simulateKey("q", KeyAction::Press);
    keys.simulateKey("q", KeyAction::Release);
    keys.simulateKey("l1", KeyAction::Release);
    keys.simulateKey("jump", KeyAction::Press);
    QCOMPARE(events.keyTrace(), QStringList({"+12", "-12", "+38"}));
}

void KeysTest::unknownNamesAndFailedSourcesPostNothing()
{
    RecordingEventLayer events;
    RecordingLog log;
    KeySynthesizer keys(events, log);

    keys.simulateKey("", KeyAction::Press);
    keys.simulateKey("1", KeyAction::Release);
    events.failSource = true;
    keys.simulateKey("w", KeyAction::Press);

    QVERIFY(events.posted.isEmpty());
    QVERIFY(keys.keyStates().isEmpty());
    QCOMPARE(log.lines, QStringList({"Invalid key: ", "Invalid key: 1", "Invalid key: w"}));
}

void KeysTest::failedEventCreationStillUpdatesState()
{
    RecordingEventLayer events;
    RecordingLog log;
    KeySynthesizer keys(events, log);

    events.failKeyEvent = true;
    keys.simulateKey("w", KeyAction::Press);
    QVERIFY(events.posted.isEmpty());
    QCOMPARE(keys.keyStates().value(13), true);
    QCOMPARE(log.lines, QStringList({"key pressed : 13"}));
}

void KeysTest::connectionEndReleasesItsKeysInPressOrder()
{
    ServerHarness server;
    TestClient phone(server.url());
    TestClient other(server.url());
    phone.send("up");
    phone.send("w");
    phone.send("a");
    phone.send("-a"); // released by the phone itself: not released again
    QVERIFY(phone.sync());
    other.send("d");
    QVERIFY(other.sync());

    server.log.lines.clear();
    server.events.posted.clear();
    phone.socket.close();
    QTRY_COMPARE(server.events.keyTrace(), QStringList({"-126", "-13"}));
    QCOMPARE(server.log.lines.filter("key "),
             QStringList({"key released : 126", "key released : 13"}));
    QCOMPARE(server.model->keyStates().value(2), true); // the other client's key stays down

    other.socket.abort(); // a vanished phone, not a polite close
    QTRY_COMPARE(server.events.keyTrace(), QStringList({"-126", "-13", "-2"}));
    QCOMPARE(server.log.lines.filter("Error receiving message: "),
             QStringList({"Error receiving message: Connection closed with code 1000",
                          "Error receiving message: The remote host closed the connection"}));
}

void KeysTest::heartbeatFailureReleasesEveryKey()
{
    double now = 0;
    ServerSettings settings = testSettings();
    settings.heartbeat.pingInterval = std::chrono::milliseconds(20);
    settings.heartbeat.checkInterval = std::chrono::milliseconds(20);
    settings.heartbeat.clock = [&now] {
        return now;
    };
    ServerHarness server(settings);
    TestClient phone(server.url());
    phone.send("pong");
    phone.send("s");
    phone.send("right");
    QVERIFY(phone.sync());

    now = 10.0;
    QTRY_COMPARE(server.model->connectionStatus(), QStringLiteral("Connection Failed"));
    QCOMPARE(server.events.keyTrace(), QStringList({"+1", "+124", "-1", "-124"}));
    QVERIFY(phone.isConnected());
}

QTEST_GUILESS_MAIN(KeysTest)
#include "tst_keys.moc"
