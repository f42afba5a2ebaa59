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
    void postsOnlyStateChangesPerCode();
    void failuresPostNothingButKeepTheState();
    void connectionEndReleasesItsKeysInPressOrder();
};

void KeysTest::resolvesNamesAndFirstCharacters_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("code"); // -1: no code

    QTest::newRow("up") << "up" << 126;
    QTest::newRow("UP is not up") << "UP" << -1;
    QTest::newRow("up with a space is u") << "up " << 32;
    QTest::newRow("select") << "select" << 49;
    QTest::newRow("space character") << " " << 49;
    QTest::newRow("space is S") << "space" << 1;
    QTest::newRow("l1") << "l1" << 12;
    QTest::newRow("digit") << "1" << -1;
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

void KeysTest::postsOnlyStateChangesPerCode()
{
    RecordingEventLayer events;
    RecordingLog log;
    KeySynthesizer keys(events, log);

    QCOMPARE(keys.simulateKey("up", KeyAction::Press), AnsiKeyCode{126});
    QCOMPARE(keys.simulateKey("up", KeyAction::Press), std::nullopt);
    QCOMPARE(keys.simulateKey("up", KeyAction::Release), AnsiKeyCode{126});
    QCOMPARE(keys.simulateKey("up", KeyAction::Release), std::nullopt);
    // Never pressed, yet the first release goes out.
    QCOMPARE(keys.simulateKey("left", KeyAction::Release), AnsiKeyCode{123});
    // Names that share a code share its state.
    keys.simulateKey("l1", KeyAction::Press);
    keys.simulateKey("q", KeyAction::Press);
    keys.simulateKey("q", KeyAction::Release);
    keys.simulateKey("l1", KeyAction::Release);

    QCOMPARE(events.keyTrace(), QStringList({"+126", "-126", "-123", "+12", "-12"}));
    QCOMPARE(log.lines.first(), QStringLiteral("key pressed : 126"));
    for (const auto& posted : events.posted)
        QCOMPARE(posted.tap, TapLocation::AnnotatedSession);
}

void KeysTest::failuresPostNothingButKeepTheState()
{
    RecordingEventLayer events;
    RecordingLog log;
    KeySynthesizer keys(events, log);

    keys.simulateKey("1", KeyAction::Release);
    keys.simulateKey(QString(100, u'9'), KeyAction::Press);
    events.failSource = true;
    keys.simulateKey("w", KeyAction::Press);
    events.failSource = false;
    events.failKeyEvent = true;
    keys.simulateKey("a", KeyAction::Press);

    QVERIFY(events.posted.isEmpty());
    QCOMPARE(keys.keyStates(), (QHash<AnsiKeyCode, bool>{{0, true}}));
    QCOMPARE(log.lines,
             QStringList({"Invalid key: 1", "Invalid key: " + QString(63, u'9') + u'\u2026',
                          "Invalid key: w", "key pressed : 0"}));
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

QTEST_GUILESS_MAIN(KeysTest)
#include "tst_keys.moc"
