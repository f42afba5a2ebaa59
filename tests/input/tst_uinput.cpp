#include "TestSupport.h"
#include "gamepad/PadState.h"
#include "gamepad/RumbleEffects.h"
#include "gamepad/UinputPad.h"
#include "input/LinuxKeyNames.h"
#include "input/UinputBackend.h"

#include <QTest>

#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <unistd.h>

class UinputTest : public QObject
{
    Q_OBJECT
private slots:
    void backendWritesFrames_data();
    void backendWritesFrames();
    void devicesDeclareWhatTheyPost();
    void padMessagesBecomeFrames_data();
    void padMessagesBecomeFrames();
    void rumbleEffectsFollowTheKernelsRequests();
};

namespace {

// The kernel here has no uinput: devices write into pipes, read back as a
// uinput device would have received them: "KEY_W 1 /", the slash a SYN_REPORT.
struct Pipe
{
    ~Pipe() { ::close(fd[0]), ::close(fd[1]); }
    QString read() const
    {
        QStringList events;
        input_event e;
        while (::read(fd[0], &e, sizeof e) == sizeof e)
            events.append(e.type == EV_SYN && e.code == SYN_REPORT
                              ? QStringLiteral("/")
                              : QStringLiteral("%1 %2").arg(
                                    QLatin1String(libevdev_event_code_get_name(e.type, e.code)),
                                    QString::number(e.value)));
        return events.join(u' ');
    }
    int fd[2] = {-1, -1};
    bool ok = ::pipe2(fd, O_NONBLOCK) == 0;
};

} // namespace

void UinputTest::backendWritesFrames_data()
{
    QTest::addColumn<QList<InputEvent>>("posted");
    QTest::addColumn<QString>("written"); // "keyboard: ...", "wheel: ...", lines said
    using S = ScrollEvent;
    QTest::newRow("keys")
        << QList<InputEvent>{KeyEvent{KEY_W, true}, KeyEvent{KEY_W, false},
                             KeyEvent{KEY_LEFTSHIFT, true}, KeyEvent{KEY_KBD_LCD_MENU5, true}}
        << "keyboard: KEY_W 1 / KEY_W 0 / KEY_LEFTSHIFT 1 / KEY_KBD_LCD_MENU5 1 /";
    QTest::newRow("motion and mouse buttons")
        << QList<InputEvent>{PointerMotionEvent{3, -4}, PointerMotionEvent{0, 2},
                             PointerButtonEvent{BTN_RIGHT, true},
                             PointerButtonEvent{BTN_RIGHT, false}}
        << "wheel: REL_X 3 REL_Y -4 / REL_Y 2 / BTN_RIGHT 1 / BTN_RIGHT 0 /";
    QTest::newRow("two halves make a detent")
        << QList<InputEvent>{S{25, 0}, S{25, 0}}
        << "wheel: REL_WHEEL_HI_RES 60 / REL_WHEEL_HI_RES 60 REL_WHEEL 1 /";
    QTest::newRow("pixel by pixel loses nothing")
        << QList<InputEvent>(5, S{1, 0})
        << "wheel: REL_WHEEL_HI_RES 2 / REL_WHEEL_HI_RES 2 / REL_WHEEL_HI_RES 3 / "
           "REL_WHEEL_HI_RES 2 / REL_WHEEL_HI_RES 3 /";
    QTest::newRow("both axes in one frame; nothing sends nothing")
        << QList<InputEvent>{S{100, -75}, S{0, 0}}
        << "wheel: REL_WHEEL_HI_RES 240 REL_WHEEL 2 REL_HWHEEL_HI_RES 180 REL_HWHEEL 1 /";
    QTest::newRow("huge scrolls stop at 20 detents")
        << QList<InputEvent>{S{2'000'000'000, std::numeric_limits<qint32>::min()}}
        << "wheel: REL_WHEEL_HI_RES 2400 REL_WHEEL 20 REL_HWHEEL_HI_RES 2400 REL_HWHEEL 20 /";
}

void UinputTest::backendWritesFrames()
{
    QFETCH(QList<InputEvent>, posted);
    Pipe keyboard, wheel;
    QVERIFY(keyboard.ok && wheel.ok);
    RecordingLog log;
    UinputBackend backend(keyboard.fd[1], wheel.fd[1], log);
    for (const InputEvent& event : std::as_const(posted))
        backend.post(event);
    QStringList written = log.lines;
    if (const QString events = wheel.read(); !events.isEmpty())
        written.prepend("wheel: " + events);
    if (const QString events = keyboard.read(); !events.isEmpty())
        written.prepend("keyboard: " + events);
    QTEST(written.join(" | "), "written");
}

// udev classifies devices by what they declare: a button code makes the
// keyboard a joystick, a key among the first codes makes a pad a keyboard.
void UinputTest::devicesDeclareWhatTheyPost()
{
    const LibevdevPtr keyboard = describeKeyboard();
    const QList<quint16> named = allLinuxKeyCodes();
    QCOMPARE(named.size(), 503); // every KEY_ name but the aliases
    for (const quint16 code : named)
        QVERIFY(libevdev_has_event_code(keyboard.get(), EV_KEY, code));
    for (const auto& [first, last] : {std::pair{BTN_MISC, BTN_GEAR_UP},
                                      {BTN_DPAD_UP, BTN_DPAD_RIGHT},
                                      {BTN_TRIGGER_HAPPY1, BTN_TRIGGER_HAPPY40}}) {
        for (unsigned code = first; code <= unsigned(last); ++code)
            QVERIFY2(!libevdev_has_event_code(keyboard.get(), EV_KEY, code),
                     libevdev_event_code_get_name(EV_KEY, code));
    }
    QVERIFY(!libevdev_has_event_type(keyboard.get(), EV_REL));

    const LibevdevPtr wheel = describeWheel();
    for (unsigned axis : {REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES, REL_X, REL_Y})
        QVERIFY(libevdev_has_event_code(wheel.get(), EV_REL, axis));
    for (unsigned button : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE})
        QVERIFY(libevdev_has_event_code(wheel.get(), EV_KEY, button));
    QVERIFY(libevdev_has_property(wheel.get(), INPUT_PROP_POINTER));
    QVERIFY(!libevdev_has_event_code(wheel.get(), EV_KEY, KEY_A));

    // Games know an Xbox 360 pad by its ids.
    const LibevdevPtr pad = describePad(2);
    QCOMPARE(QList<int>({libevdev_get_id_bustype(pad.get()), libevdev_get_id_vendor(pad.get()),
                         libevdev_get_id_product(pad.get()), libevdev_get_id_version(pad.get())}),
             QList<int>({BUS_USB, 0x045e, 0x028e, 0x0110}));
    for (unsigned button : {BTN_SOUTH, BTN_EAST, BTN_NORTH, BTN_WEST, BTN_TL, BTN_TR, BTN_SELECT,
                            BTN_START, BTN_MODE, BTN_THUMBL, BTN_THUMBR})
        QVERIFY(libevdev_has_event_code(pad.get(), EV_KEY, button));
    for (unsigned code = 0; code < BTN_MISC; ++code)
        QVERIFY(!libevdev_has_event_code(pad.get(), EV_KEY, code));
    const QList<std::pair<QList<unsigned>, QList<int>>> ranges{
        {{ABS_X, ABS_Y, ABS_RX, ABS_RY}, {-32768, 32767, 16, 128}},
        {{ABS_Z, ABS_RZ}, {0, 255, 0, 0}},
        {{ABS_HAT0X, ABS_HAT0Y}, {-1, 1, 0, 0}}};
    for (const auto& [axes, range] : ranges) {
        for (const unsigned axis : axes) {
            const input_absinfo* info = libevdev_get_abs_info(pad.get(), axis);
            QVERIFY(info);
            QCOMPARE(QList<int>({info->minimum, info->maximum, info->fuzz, info->flat}), range);
        }
    }
    QVERIFY(libevdev_has_event_code(pad.get(), EV_FF, FF_RUMBLE));
    QVERIFY(!libevdev_has_event_type(pad.get(), EV_REL));
}

void UinputTest::padMessagesBecomeFrames_data()
{
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QString>("events"); // "(why)" for a message ignored
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

void UinputTest::padMessagesBecomeFrames()
{
    QFETCH(QStringList, messages);
    Pipe pipe;
    QVERIFY(pipe.ok);
    RecordingLog log;
    InputEventWriter writer(pipe.fd[1], QStringLiteral("pad"), log);
    PadState state;
    QStringList events;
    for (const QString& text : std::as_const(messages)) {
        const PadMessage message = parsePadMessage(text);
        if (const auto* why = std::get_if<IgnoredPadMessage>(&message); why && text != u"neutral")
            events.append(u'(' + why->reason + u')');
        writer.writeFrame(text == u"neutral" ? state.neutral() : state.apply(message));
        events.append(pipe.read());
    }
    events.removeAll(QString());
    QTEST(events.join(u' '), "events");
    QVERIFY(log.lines.isEmpty());
}

void UinputTest::rumbleEffectsFollowTheKernelsRequests()
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

QTEST_GUILESS_MAIN(UinputTest)
#include "tst_uinput.moc"
