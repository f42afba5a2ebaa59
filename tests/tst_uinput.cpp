#include "TestSupport.h"
#include "gamepad/PadState.h"
#include "gamepad/RumbleEffects.h"
#include "gamepad/UinputPad.h"
#include "input/UinputBackend.h"

#include <QTest>

#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <unistd.h>

// The kernel here has no uinput, so the backend writes into pipes and the
// test decodes what a uinput device would have received.
class UinputTest : public QObject
{
    Q_OBJECT
private slots:
    void keysBecomeEvdevFrames();
    void scrollKeepsEveryFraction_data();
    void scrollKeepsEveryFraction();
    void devicesDeclareWhatTheyPost();
    void padDeclaresAnXbox360Controller();
    void padMessagesBecomeFrames_data();
    void padMessagesBecomeFrames();
    void rumbleEffectsFollowTheKernelsRequests();
};

namespace {

struct Pipes
{
    Pipes() { ok = ::pipe2(keyboard, O_NONBLOCK) == 0 && ::pipe2(wheel, O_NONBLOCK) == 0; }
    ~Pipes()
    {
        for (int fd : {keyboard[0], keyboard[1], wheel[0], wheel[1]})
            ::close(fd);
    }

    // Everything written so far, as "EV_KEY KEY_W 1" lines; SYN_REPORT is "SYN".
    static QStringList decode(int fd)
    {
        QStringList events;
        input_event event;
        while (::read(fd, &event, sizeof event) == sizeof event) {
            if (event.type == EV_SYN && event.code == SYN_REPORT)
                events.append(QStringLiteral("SYN"));
            else
                events.append(
                    QStringLiteral("%1 %2")
                        .arg(QLatin1String(libevdev_event_code_get_name(event.type, event.code)))
                        .arg(event.value));
        }
        return events;
    }

    int keyboard[2] = {-1, -1};
    int wheel[2] = {-1, -1};
    bool ok = false;
};

// The backend writing into pipes, and what it says.
struct PipedBackend
{
    Pipes pipes;
    RecordingLog log;
    UinputBackend backend{pipes.keyboard[1], pipes.wheel[1], log};
    QStringList keyboard() const { return Pipes::decode(pipes.keyboard[0]); }
    QStringList wheel() const { return Pipes::decode(pipes.wheel[0]); }
};

} // namespace

void UinputTest::keysBecomeEvdevFrames()
{
    PipedBackend piped;
    QVERIFY(piped.pipes.ok);

    piped.backend.post(TapLocation::AnnotatedSession, KeyEvent{13, true});
    piped.backend.post(TapLocation::Hid, KeyEvent{13, false});
    piped.backend.post(TapLocation::AnnotatedSession, KeyEvent{126, true});
    piped.backend.post(TapLocation::AnnotatedSession, KeyEvent{49, true});
    piped.backend.post(TapLocation::AnnotatedSession, KeyEvent{0x34, true});
    piped.backend.post(TapLocation::AnnotatedSession, KeyEvent{0x34, false});
    QCOMPARE(piped.keyboard(), QStringList({"KEY_W 1", "SYN", "KEY_W 0", "SYN", "KEY_UP 1", "SYN",
                                            "KEY_SPACE 1", "SYN"}));
    QVERIFY(piped.wheel().isEmpty());
    QCOMPARE(piped.log.lines,
             QStringList{"No key on this keyboard for key code 52; it is ignored"});
}

void UinputTest::scrollKeepsEveryFraction_data()
{
    QTest::addColumn<QList<ScrollEvent>>("scrolls");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("two halves make a detent")
        << QList<ScrollEvent>{{25, 0}, {25, 0}}
        << QStringList{"REL_WHEEL_HI_RES 60", "SYN", "REL_WHEEL_HI_RES 60", "REL_WHEEL 1", "SYN"};
    QTest::newRow("pixel by pixel loses nothing")
        << QList<ScrollEvent>{{1, 0}, {1, 0}, {1, 0}, {1, 0}, {1, 0}}
        << QStringList{"REL_WHEEL_HI_RES 2", "SYN", "REL_WHEEL_HI_RES 2", "SYN",
                       "REL_WHEEL_HI_RES 3", "SYN", "REL_WHEEL_HI_RES 2", "SYN",
                       "REL_WHEEL_HI_RES 3", "SYN"};
    QTest::newRow("both axes in one frame")
        << QList<ScrollEvent>{{100, -75}}
        << QStringList{"REL_WHEEL_HI_RES 240", "REL_WHEEL 2", "REL_HWHEEL_HI_RES 180",
                       "REL_HWHEEL 1", "SYN"};
    QTest::newRow("nothing sends nothing") << QList<ScrollEvent>{{0, 0}} << QStringList{};
    QTest::newRow("huge scrolls stop at 20 detents")
        << QList<ScrollEvent>{{2'000'000'000, std::numeric_limits<qint32>::min()}}
        << QStringList{"REL_WHEEL_HI_RES 2400", "REL_WHEEL 20", "REL_HWHEEL_HI_RES 2400",
                       "REL_HWHEEL 20", "SYN"};
}

void UinputTest::scrollKeepsEveryFraction()
{
    QFETCH(QList<ScrollEvent>, scrolls);
    QFETCH(QStringList, events);
    PipedBackend piped;
    QVERIFY(piped.pipes.ok);
    for (const ScrollEvent& scroll : scrolls)
        piped.backend.post(TapLocation::Hid, scroll);
    QCOMPARE(piped.wheel(), events);
    QVERIFY(piped.keyboard().isEmpty());
}

void UinputTest::devicesDeclareWhatTheyPost()
{
    const LibevdevPtr keyboard = describeKeyboard();
    for (const AnsiKeyCode code :
         {0x0D, 0x00, 0x01, 0x02, 0x24, 0x31, 0x35, 0x37, 0x38, 0x7A, 0x6F, 0x73, 0x79, 0x7B, 0x7E})
        QVERIFY2(libevdev_has_event_code(keyboard.get(), EV_KEY, *evdevKeyCode(code)),
                 qPrintable(QString::number(code)));
    // Any button code and udev would take the keyboard for a joystick or mouse.
    for (unsigned code = BTN_MISC; code <= BTN_TRIGGER_HAPPY40; ++code)
        QVERIFY2((code >= KEY_OK && code < BTN_DPAD_UP) ||
                     !libevdev_has_event_code(keyboard.get(), EV_KEY, code),
                 libevdev_event_code_get_name(EV_KEY, code));
    QVERIFY(!libevdev_has_event_type(keyboard.get(), EV_REL));

    const LibevdevPtr wheel = describeWheel();
    for (unsigned axis : {REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES, REL_X, REL_Y})
        QVERIFY(libevdev_has_event_code(wheel.get(), EV_REL, axis));
    QVERIFY(libevdev_has_event_code(wheel.get(), EV_KEY, BTN_LEFT));
    QVERIFY(libevdev_has_property(wheel.get(), INPUT_PROP_POINTER));
    QVERIFY(!libevdev_has_event_code(wheel.get(), EV_KEY, KEY_A));
}

void UinputTest::padDeclaresAnXbox360Controller()
{
    const LibevdevPtr pad = describePad(2);
    QCOMPARE(libevdev_get_name(pad.get()), "Kestrelio pad 2");
    QCOMPARE(libevdev_get_id_bustype(pad.get()), BUS_USB);
    QCOMPARE(libevdev_get_id_vendor(pad.get()), 0x045e);
    QCOMPARE(libevdev_get_id_product(pad.get()), 0x028e);
    QCOMPARE(libevdev_get_id_version(pad.get()), 0x0110);
    for (unsigned button : {BTN_SOUTH, BTN_EAST, BTN_NORTH, BTN_WEST, BTN_TL, BTN_TR, BTN_SELECT,
                            BTN_START, BTN_MODE, BTN_THUMBL, BTN_THUMBR})
        QVERIFY(libevdev_has_event_code(pad.get(), EV_KEY, button));
    // Keys among the first 32 codes would make it a keyboard.
    for (unsigned code = 0; code < BTN_MISC; ++code)
        QVERIFY(!libevdev_has_event_code(pad.get(), EV_KEY, code));

    const auto range = [&pad](unsigned axis) {
        const input_absinfo* info = libevdev_get_abs_info(pad.get(), axis);
        return info ? QList<int>{info->minimum, info->maximum, info->fuzz, info->flat}
                    : QList<int>{};
    };
    for (unsigned axis : {ABS_X, ABS_Y, ABS_RX, ABS_RY})
        QCOMPARE(range(axis), QList<int>({-32768, 32767, 16, 128}));
    for (unsigned axis : {ABS_Z, ABS_RZ})
        QCOMPARE(range(axis), QList<int>({0, 255, 0, 0}));
    for (unsigned axis : {ABS_HAT0X, ABS_HAT0Y})
        QCOMPARE(range(axis), QList<int>({-1, 1, 0, 0}));
    QVERIFY(libevdev_has_event_code(pad.get(), EV_FF, FF_RUMBLE));
    QVERIFY(!libevdev_has_event_type(pad.get(), EV_REL));
}

void UinputTest::padMessagesBecomeFrames_data()
{
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QStringList>("events"); // an ignored message is "ignored: why"

    QTest::newRow("buttons, a repeat sends nothing")
        << QStringList{"A", "a", "home", "-a", "-a"}
        << QStringList{"BTN_SOUTH 1", "SYN", "BTN_MODE 1", "SYN", "BTN_SOUTH 0", "SYN"};
    QTest::newRow("d-pad: the newest direction of an axis wins")
        << QStringList{"left", "right", "up", "-right", "-left", "-up"}
        << QStringList{"ABS_HAT0X -1", "SYN", "ABS_HAT0X 1", "SYN", "ABS_HAT0Y -1", "SYN",
                       "ABS_HAT0X -1", "SYN", "ABS_HAT0X 0", "SYN", "ABS_HAT0Y 0",  "SYN"};
    QTest::newRow("sticks span the range and clamp")
        << QStringList{"ls 1 -1", "rs -0.5 0.25", "ls 7 -1e9", "rs 0 0"}
        << QStringList{"ABS_X 32767", "ABS_Y -32768", "SYN", "ABS_RX -16384", "ABS_RY 8192", "SYN",
                       "ABS_RX 0",    "ABS_RY 0",     "SYN"};
    QTest::newRow("triggers clamp; a bare name pulls fully")
        << QStringList{"l2 0.5", "r2 -3", "r2", "-r2", "l2 1.5"}
        << QStringList{"ABS_Z 128", "SYN", "ABS_RZ 255", "SYN",
                       "ABS_RZ 0",  "SYN", "ABS_Z 255",  "SYN"};
    QTest::newRow("malformed messages are ignored")
        << QStringList{"w",      "ls 1",      "ls nan 0",
                       "l2 inf", "a 1",       "-ls 0 0",
                       "",       "mouse 1 1", "ls " + QString(62, u'0')}
        << QStringList{"ignored: no such button",
                       "ignored: a stick takes two values",
                       "ignored: a stick's value is no number",
                       "ignored: a trigger's value is no number",
                       "ignored: a button takes no value",
                       "ignored: a stick is not released",
                       "ignored: empty",
                       "ignored: a button takes no value",
                       "ignored: longer than 64 bytes"};
    QTest::newRow("neutral lets go of everything")
        << QStringList{"b", "down", "ls 0.5 0", "r2 1", "neutral"}
        << QStringList{"BTN_EAST 1", "SYN",         "ABS_HAT0Y 1", "SYN",        "ABS_X 16384",
                       "SYN",        "ABS_RZ 255",  "SYN",         "BTN_EAST 0", "ABS_X 0",
                       "ABS_RZ 0",   "ABS_HAT0Y 0", "SYN"};
}

void UinputTest::padMessagesBecomeFrames()
{
    QFETCH(QStringList, messages);
    QFETCH(QStringList, events);
    Pipes pipes;
    QVERIFY(pipes.ok);
    RecordingLog log;
    InputEventWriter writer(pipes.keyboard[1], QStringLiteral("pad"), log);
    PadState state;
    QStringList ignored;
    for (const QString& text : std::as_const(messages)) {
        if (text == u"neutral") {
            writer.writeFrame(state.neutral());
            continue;
        }
        const PadMessage message = parsePadMessage(text);
        if (const auto* why = std::get_if<IgnoredPadMessage>(&message))
            ignored.append(QStringLiteral("ignored: ") + why->reason);
        writer.writeFrame(state.apply(message));
    }
    QCOMPARE(Pipes::decode(pipes.keyboard[0]) + ignored, events);
    QVERIFY(log.lines.isEmpty());
}

void UinputTest::rumbleEffectsFollowTheKernelsRequests()
{
    RumbleEffects effects;
    ff_effect rumble{};
    rumble.type = FF_RUMBLE;
    rumble.id = 3;
    rumble.u.rumble = {65535, 1000};
    rumble.replay.length = 250;
    QCOMPARE(effects.upload(rumble), 0);
    ff_effect constant{};
    constant.type = FF_CONSTANT;
    constant.id = 4;
    QCOMPARE(effects.upload(constant), -EINVAL);

    const auto played = [&effects](quint16 id, qint32 value) {
        const std::optional<Rumble> r = effects.play(id, value);
        return r ? QList<int>{r->strong, r->weak, r->milliseconds} : QList<int>{};
    };
    QCOMPARE(played(3, 1), QList<int>({65535, 1000, 250}));
    QCOMPARE(played(3, 0), QList<int>({0, 0, 0}));
    QCOMPARE(played(4, 1), QList<int>{});
    rumble.u.rumble.weak_magnitude = 7; // a game may update an effect in place
    QCOMPARE(effects.upload(rumble), 0);
    QCOMPARE(played(3, 1), QList<int>({65535, 7, 250}));
    effects.erase(3);
    QCOMPARE(played(3, 1), QList<int>{});
}

QTEST_GUILESS_MAIN(UinputTest)
#include "tst_uinput.moc"
