#include "TestSupport.h"
#include "input/KeyMap.h"
#include "input/KeySynthesizer.h"
#include "input/ScrollSynthesizer.h"

#include <QTest>

// Key names and "mouse X Y" messages, turned into events.
class InputTest : public QObject
{
    Q_OBJECT
private slots:
    void resolvesNamesAndFirstCharacters();
    void postsOnlyStateChangesPerCode();
    void failuresPostNothingButKeepTheState();
    void connectionEndReleasesItsKeysInPressOrder();
    void scrollsParseAndScale_data();
    void scrollsParseAndScale();
};

void InputTest::resolvesNamesAndFirstCharacters()
{
    const QStringList names{"UP", "up ", " ", "space", "1", QStringLiteral("e\u0301"), "", "a\nb"};
    QList<int> codes; // -1: no code
    for (const QString& name : names) {
        const std::optional<AnsiKeyCode> code = resolveKeyCode(namedKeys(), name);
        codes.append(code ? int(*code) : -1);
    }
    QCOMPARE(codes, QList<int>({-1, 32, 49, 1, -1, -1, -1, 0}));
}

void InputTest::postsOnlyStateChangesPerCode()
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
}

void InputTest::failuresPostNothingButKeepTheState()
{
    RecordingEventLayer events;
    RecordingLog log;
    KeySynthesizer keys(events, log);
    ScrollSynthesizer scroll(events, log);
    keys.simulateKey("1", KeyAction::Release);
    keys.simulateKey(QString(100, u'9'), KeyAction::Press);
    events.failScrollEvent = true;
    scroll.handleMouseMessage("mouse 1 1");
    events.failSource = true;
    keys.simulateKey("w", KeyAction::Press);
    scroll.handleMouseMessage("mouse 1 1");
    events.failSource = false;
    events.failKeyEvent = true;
    keys.simulateKey("a", KeyAction::Press);

    QVERIFY(events.posted.isEmpty());
    QCOMPARE(keys.keyStates(), (QHash<AnsiKeyCode, bool>{{0, true}}));
    QCOMPARE(log.lines,
             QStringList({"Invalid key: 1", "Invalid key: " + QString(63, u'9') + u'\u2026',
                          "Failed to create scroll event", "Invalid key: w",
                          "Failed to create CGEventSource", "key pressed : 0"}));
}

void InputTest::connectionEndReleasesItsKeysInPressOrder()
{
    ServerHarness server;
    TestClient phone(server.url());
    TestClient other(server.url());
    for (const char* message : {"up", "w", "a", "-a"}) // "a" is not released twice
        phone.send(QString::fromLatin1(message));
    other.send("d");
    QVERIFY(phone.sync() && other.sync());

    server.log.lines.clear();
    server.events.posted.clear();
    phone.socket.close();
    QTRY_COMPARE(server.events.keyTrace(), QStringList({"-126", "-13"}));
    QCOMPARE(server.log.lines.filter("key "),
             QStringList({"key released : 126", "key released : 13"}));
    QCOMPARE(server.model->keyStates().value(2), true); // the other client's key stays down

    other.socket.abort(); // a vanished phone, not a polite close
    QTRY_COMPARE(server.events.keyTrace(), QStringList({"-126", "-13", "-2"}));
    // A goodbye is no error; a vanished peer is.
    QCOMPARE(server.log.lines.filter("Error receiving message: "),
             QStringList{"Error receiving message: The remote host closed the connection"});
    QCOMPARE(server.log.lines.count("Client disconnected from 127.0.0.1"), 2);
}

void InputTest::scrollsParseAndScale_data()
{
    // The line printed => the scroll posted: vertical, horizontal.
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("result");
    const auto row = [](const char* message, const char* result) {
        QTest::newRow(message) << QString::fromLatin1(message) << QString::fromLatin1(result);
    };
    // The first word is not examined; one unit is 50 pixels.
    row("xmouse 1 2", "Simulated scroll with x: 50.0, y: 100.0 => 100, 50");
    row("mouse -0.03 0.05", "Simulated scroll with x: -1.5, y: 2.5 => 2, -1");
    row("mouse +1.5 -2e0", "Simulated scroll with x: 75.0, y: -100.0 => -100, 75");
    // Amounts are printed as the shortest text that reads back as the same float.
    row("mouse 0.002 -0", "Simulated scroll with x: 0.1, y: -0.0 => 0, 0");
    row("mouse 0 4e7", "Simulated scroll with x: 0.0, y: 2e+09 => 2000000000, 0");
    for (const char* invalid : {"mouse 1", "mouse 1\t2", "mouse inf 0", "mouse 0 5e7"})
        row(invalid, "Invalid message format");
}

void InputTest::scrollsParseAndScale()
{
    QFETCH(QString, message);
    RecordingEventLayer events;
    RecordingLog log;
    ScrollSynthesizer(events, log).handleMouseMessage(message);
    QString result = log.lines.join(u'\n');
    for (const RecordingEventLayer::Posted& posted : std::as_const(events.posted)) {
        const auto [vertical, horizontal] = std::get<ScrollEvent>(posted.event);
        result += QStringLiteral(" => %1, %2").arg(vertical).arg(horizontal);
    }
    QTEST(result, "result");
}

QTEST_GUILESS_MAIN(InputTest)
#include "tst_input.moc"
