#include "gamepad/PadState.h"
#include "gamepad/RumbleEffects.h"

#include <QTest>

#include <cerrno>
#include <libevdev/libevdev.h>

class GamepadTest : public QObject
{
    Q_OBJECT
private slots:
    void messagesChangeThePad_data();
    void messagesChangeThePad();
    void rumbleEffectsFollowTheKernelsRequests();
};

void GamepadTest::messagesChangeThePad_data()
{
    QTest::addColumn<QStringList>("messages"); // "neutral" lets go of everything
    QTest::addColumn<QString>("frames");       // "/" ends a frame; "(why)" a message ignored
    QTest::newRow("buttons, a repeat sends nothing")
        << QStringList{"A", "a", "home", "-a", "-a"} << "BTN_SOUTH 1 / BTN_MODE 1 / BTN_SOUTH 0 /";
    QTest::newRow("d-pad: the newest direction of an axis wins")
        << QStringList{"left", "right", "up", "-right", "-left", "-up"}
        << "ABS_HAT0X -1 / ABS_HAT0X 1 / ABS_HAT0Y -1 / ABS_HAT0X -1 / ABS_HAT0X 0 / ABS_HAT0Y 0 /";
    QTest::newRow("sticks and triggers clamp; a bare trigger pulls fully")
        << QStringList{"ls 1 -1", "rs -0.5 0.25", "ls 7 -1e9", "rs 0 0", "l2 0.5",
                       "r2 -3",   "r2",           "-r2",       "l2 1.5"}
        << "ABS_X 32767 ABS_Y -32768 / ABS_RX -16384 ABS_RY 8192 / ABS_RX 0 ABS_RY 0 / "
           "ABS_Z 128 / ABS_RZ 255 / ABS_RZ 0 / ABS_Z 255 /";
    QTest::newRow("malformed messages are ignored")
        << QStringList{"w",      "ls 1",      "ls nan 0",
                       "l2 inf", "a 1",       "-ls 0 0",
                       "",       "mouse 1 1", "ls " + QString(62, u'0')}
        << "(no such button) (a stick takes two values) (a stick's value is no number) "
           "(a trigger's value is no number) (a button takes no value) "
           "(a stick is not released) (empty) (a button takes no value) (longer than 64 bytes)";
    QTest::newRow("neutral lets go of everything")
        << QStringList{"b", "down", "ls 0.5 0", "r2 1", "neutral"}
        << "BTN_EAST 1 / ABS_HAT0Y 1 / ABS_X 16384 / ABS_RZ 255 / "
           "BTN_EAST 0 ABS_X 0 ABS_RZ 0 ABS_HAT0Y 0 /";
}

void GamepadTest::messagesChangeThePad()
{
    QFETCH(QStringList, messages);
    PadState state;
    QStringList frames;
    for (const QString& text : std::as_const(messages)) {
        const PadMessage message = parsePadMessage(text);
        if (const auto* why = std::get_if<IgnoredPadMessage>(&message); why && text != u"neutral")
            frames.append(u'(' + why->reason + u')');
        const PadState::Frame frame = text == u"neutral" ? state.neutral() : state.apply(message);
        for (const InputEventWriter::Event& e : frame)
            frames.append(QStringLiteral("%1 %2").arg(
                QLatin1String(libevdev_event_code_get_name(e.type, e.code)),
                QString::number(e.value)));
        if (!frame.isEmpty())
            frames.append(QStringLiteral("/"));
    }
    QTEST(frames.join(u' '), "frames");
}

void GamepadTest::rumbleEffectsFollowTheKernelsRequests()
{
    const auto effect = [](quint16 type, qint16 id, quint16 weak) {
        ff_effect e{};
        e.type = type;
        e.id = id;
        e.u.rumble = {65535, weak};
        e.replay.length = 250;
        return e;
    };
    RumbleEffects effects;
    const auto played = [&effects](quint16 id, qint32 value) {
        const std::optional<Rumble> r = effects.play(id, value);
        return r ? QList<int>{r->strong, r->weak, r->milliseconds} : QList<int>{};
    };
    QCOMPARE(effects.upload(effect(FF_RUMBLE, 3, 1000)), 0);
    QCOMPARE(effects.upload(effect(FF_CONSTANT, 4, 1000)), -EINVAL);
    QCOMPARE(played(3, 1), QList<int>({65535, 1000, 250}));
    QCOMPARE(played(3, 0), QList<int>({0, 0, 0}));
    QCOMPARE(played(4, 1), QList<int>{});
    QCOMPARE(effects.upload(effect(FF_RUMBLE, 3, 7)), 0); // a game may update an effect in place
    QCOMPARE(played(3, 1), QList<int>({65535, 7, 250}));
    effects.erase(3);
    QCOMPARE(played(3, 1), QList<int>{});
}

QTEST_GUILESS_MAIN(GamepadTest)
#include "tst_gamepad.moc"
