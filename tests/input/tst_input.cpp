#include "TestSupport.h"
#include "input/KeyMap.h"
#include "input/KeySynthesizer.h"
#include "input/PointerMotion.h"
#include "input/ScrollSynthesizer.h"

#include <QTest>

#include <linux/input-event-codes.h>

// Key names, "mouse X Y" and "move DX DY" messages, turned into events.
class InputTest : public QObject
{
    Q_OBJECT
private slots:
    void resolvesNames_data();
    void resolvesNames();
    void postsOnlyStateChangesPerCode();
    void connectionEndReleasesWhatItHolds();
    void movesAddUpAndClamp_data();
    void movesAddUpAndClamp();
    void scrollsParseAndScale_data();
    void scrollsParseAndScale();
};

void InputTest::resolvesNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("printed"); // as the log prints the code; "" for none
    QTest::addColumn<bool>("keyName");    // what a layout may bind as a key
    const auto row = [](const QString& name, const char* printed, bool keyName) {
        QTest::newRow(qPrintable(u'"' + name + u'"'))
            << name << QString::fromLatin1(printed) << keyName;
    };
    // The page's names keep their keys and numbers where Linux names differ.
    for (const auto& [name, printed] : {std::pair{"up", "126"},
                                        {"start", "36"},
                                        {"select", "49"},
                                        {" ", "49"},
                                        {"l1", "12"},
                                        {"r2", "17"},
                                        {"w", "13"}})
        row(QString::fromLatin1(name), printed, true);
    // Linux key names; "space" and "enter" used to type S and E.
    for (const auto& [name, printed] : {std::pair{"space", "49"},
                                        {"enter", "36"},
                                        {"esc", "KEY_ESC"},
                                        {"leftshift", "KEY_LEFTSHIFT"},
                                        {"f5", "KEY_F5"},
                                        {"1", "KEY_1"},
                                        {"kpenter", "KEY_KPENTER"},
                                        {"move", "KEY_MOVE"},
                                        {"hanguel", "KEY_HANGEUL"}})
        row(QString::fromLatin1(name), printed, true);
    row("btn_left", "BTN_LEFT", false);
    row("btn_middle", "BTN_MIDDLE", false);
    // Other names type their first character, a letter or a space, as ever.
    row("jump", "38", false);
    row("btn_foo", "11", false);
    row("up ", "32", false);
    row("a\nb", "0", false);
    row("UP", "", false);
    row("e\u0301", "", false);
    row("", "", false);
}

void InputTest::resolvesNames()
{
    QFETCH(QString, name);
    const std::optional<EvdevCode> code = resolveKeyCode(name);
    QTEST(code ? printedKeyCode(*code) : QString(), "printed");
    QTEST(isKeyName(name), "keyName");
    QCOMPARE(isPointerButtonName(name), code && printedKeyCode(*code).startsWith("BTN_"));
}

void InputTest::postsOnlyStateChangesPerCode()
{
    RecordingEventLayer events;
    RecordingLog log;
    KeySynthesizer keys(events, log);
    QCOMPARE(keys.simulateKey("up", KeyAction::Press), EvdevCode{KEY_UP});
    QCOMPARE(keys.simulateKey("up", KeyAction::Press), std::nullopt);
    QCOMPARE(keys.simulateKey("up", KeyAction::Release), EvdevCode{KEY_UP});
    QCOMPARE(keys.simulateKey("up", KeyAction::Release), std::nullopt);
    // Never pressed, yet the first release goes out.
    QCOMPARE(keys.simulateKey("left", KeyAction::Release), EvdevCode{KEY_LEFT});
    // Names that share a code share its state.
    for (const char* name : {"select", "space", " "})
        keys.simulateKey(name, KeyAction::Press);
    keys.simulateKey("space", KeyAction::Release);
    keys.simulateKey("select", KeyAction::Release);
    keys.simulateKey("btn_left", KeyAction::Press);
    keys.simulateKey("btn_left", KeyAction::Press);
    keys.simulateKey("~", KeyAction::Press);
    keys.simulateKey(QString(100, u'9'), KeyAction::Press);

    QCOMPARE(events.keyTrace(), QStringList({"+126", "-126", "-123", "+49", "-49"}));
    QCOMPARE(events.posted.last().event, InputEvent(PointerButtonEvent{BTN_LEFT, true}));
    QCOMPARE(events.posted.size(), 6);
    QCOMPARE(log.lines.mid(4),
             QStringList({"key released : 49", "button pressed : BTN_LEFT", "Invalid key: ~",
                          "Invalid key: " + QString(63, u'9') + u'\u2026'}));
}

// Keys and mouse buttons a phone holds are let go when its link ends; a
// malformed pointer message is said once per phone.
void InputTest::connectionEndReleasesWhatItHolds()
{
    ServerHarness server;
    TestClient phone(server.url());
    TestClient other(server.url());
    for (const char* message : {"up", "w", "btn_left", "a", "-a", "move 3 -4", "move", "move 1",
                                "move x y"}) // "a" is not released twice
        phone.send(QString::fromLatin1(message));
    other.send("d");
    QVERIFY(phone.sync() && other.sync());
    QCOMPARE(server.log.lines.filter("malformed"),
             QStringList{"Ignored a malformed pointer message from 127.0.0.1: move DX DY is "
                         "expected"});
    QVERIFY(server.events.posted.contains({PointerMotionEvent{3, -4}}));
    QCOMPARE(server.model->keyStates().value(KEY_MOVE), true); // the bare word is a key

    server.log.lines.clear();
    server.events.posted.clear();
    phone.socket.close();
    QTRY_COMPARE(server.events.keyTrace(), QStringList({"-126", "-13", "-KEY_MOVE"}));
    QCOMPARE(server.events.posted.at(2).event, InputEvent(PointerButtonEvent{BTN_LEFT, false}));
    QCOMPARE(server.model->keyStates().value(KEY_D), true); // the other client's key stays down

    other.socket.abort(); // a vanished phone, not a polite close
    QTRY_COMPARE(server.events.keyTrace(), QStringList({"-126", "-13", "-KEY_MOVE", "-2"}));
    // A goodbye is no error; a vanished peer is.
    QCOMPARE(server.log.lines.filter("Error receiving message: "),
             QStringList{"Error receiving message: The remote host closed the connection"});
    QCOMPARE(server.log.lines.count("Client disconnected from 127.0.0.1"), 2);
}

void InputTest::movesAddUpAndClamp_data()
{
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QString>("moved"); // "x,y" per event posted, "!" per malformed message
    QTest::newRow("whole pixels") << QStringList{"move 100 -50"} << "100,-50";
    QTest::newRow("fractions add up")
        << QStringList{"move 0.4 -0.6", "move 0.4 -0.6", "move +0.4 -6e-1"} << "0,-1 1,0";
    QTest::newRow("at most 1000 per message")
        << QStringList{"move 5000 -1000.5", "move 0 0.5"} << "1000,-1000";
    QTest::newRow("malformed") << QStringList{"move 1",      "move 1 2 3", "move a 1",
                                              "move 1e99 0", "move nan 0", "mover 1 2"}
                               << "! ! ! ! ! !";
}

void InputTest::movesAddUpAndClamp()
{
    QFETCH(QStringList, messages);
    RecordingEventLayer events;
    PointerMotion pointer(events);
    QStringList moved;
    for (const QString& message : std::as_const(messages)) {
        if (!pointer.handleMoveMessage(message))
            moved.append("!");
    }
    for (const RecordingEventLayer::Posted& posted : std::as_const(events.posted)) {
        const auto [x, y] = std::get<PointerMotionEvent>(posted.event);
        moved.append(QStringLiteral("%1,%2").arg(x).arg(y));
    }
    QTEST(moved.join(u' '), "moved");
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
