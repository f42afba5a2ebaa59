#include "TestSupport.h"
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
    void untranslatableCodeIsReportedOnce();
    void scrollKeepsEveryFraction_data();
    void scrollKeepsEveryFraction();
    void devicesDeclareWhatTheyPost();
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
    QCOMPARE(piped.keyboard(), QStringList({"KEY_W 1", "SYN", "KEY_W 0", "SYN", "KEY_UP 1", "SYN",
                                            "KEY_SPACE 1", "SYN"}));
    QVERIFY(piped.wheel().isEmpty());
    QVERIFY(piped.log.lines.isEmpty());
}

void UinputTest::untranslatableCodeIsReportedOnce()
{
    PipedBackend piped;
    QVERIFY(piped.pipes.ok);
    piped.backend.post(TapLocation::AnnotatedSession, KeyEvent{0x34, true});
    piped.backend.post(TapLocation::AnnotatedSession, KeyEvent{0x34, false});
    QVERIFY(piped.keyboard().isEmpty());
    QCOMPARE(piped.log.lines,
             QStringList{"No key on this keyboard for key code 52; it is ignored"});
}

void UinputTest::scrollKeepsEveryFraction_data()
{
    QTest::addColumn<QList<ScrollEvent>>("scrolls");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("one detent up")
        << QList<ScrollEvent>{{50, 0}} << QStringList{"REL_WHEEL_HI_RES 120", "REL_WHEEL 1", "SYN"};
    QTest::newRow("left is a negative evdev wheel")
        << QList<ScrollEvent>{{0, 50}}
        << QStringList{"REL_HWHEEL_HI_RES -120", "REL_HWHEEL -1", "SYN"};
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
    QTest::newRow("back and forth")
        << QList<ScrollEvent>{{30, 0}, {-30, 0}}
        << QStringList{"REL_WHEEL_HI_RES 72", "SYN", "REL_WHEEL_HI_RES -72", "SYN"};
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
    for (unsigned code = BTN_MISC; code < KEY_OK; ++code)
        QVERIFY2(!libevdev_has_event_code(keyboard.get(), EV_KEY, code),
                 libevdev_event_code_get_name(EV_KEY, code));
    for (unsigned code = BTN_DPAD_UP; code <= BTN_TRIGGER_HAPPY40; ++code)
        QVERIFY(!libevdev_has_event_code(keyboard.get(), EV_KEY, code));
    QVERIFY(!libevdev_has_event_type(keyboard.get(), EV_REL));

    const LibevdevPtr wheel = describeWheel();
    for (unsigned axis : {REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES, REL_X, REL_Y})
        QVERIFY(libevdev_has_event_code(wheel.get(), EV_REL, axis));
    QVERIFY(libevdev_has_event_code(wheel.get(), EV_KEY, BTN_LEFT));
    QVERIFY(libevdev_has_property(wheel.get(), INPUT_PROP_POINTER));
    QVERIFY(!libevdev_has_event_code(wheel.get(), EV_KEY, KEY_A));
}

QTEST_GUILESS_MAIN(UinputTest)
#include "tst_uinput.moc"
