#include "TestSupport.h"
#include "controller/GameControllerManager.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <SDL.h>

// SDL's own virtual devices, through SDL's real event machinery. Each change
// is turned into SDL's events at once, as a real device's would be: otherwise
// a press and release between two pumps would be lost.
struct VirtualPad
{
    explicit VirtualPad(bool gamepad)
        : joystick(SDL_JoystickOpen(SDL_JoystickAttachVirtual(
              gamepad ? SDL_JOYSTICK_TYPE_GAMECONTROLLER : SDL_JOYSTICK_TYPE_UNKNOWN,
              gamepad ? SDL_CONTROLLER_AXIS_MAX : 2, SDL_CONTROLLER_BUTTON_MAX, 0)))
    {}
    ~VirtualPad() { detach(); }
    ControllerInfo info(bool hasGamepadProfile) const
    {
        return {SDL_JoystickInstanceID(joystick), SDL_JoystickName(joystick), hasGamepadProfile};
    }
    void set(int button, bool pressed)
    {
        SDL_JoystickSetVirtualButton(joystick, button, pressed ? SDL_PRESSED : SDL_RELEASED);
        SDL_JoystickUpdate();
    }
    void detach()
    {
        const SDL_JoystickID id = SDL_JoystickInstanceID(joystick);
        SDL_JoystickClose(joystick);
        joystick = nullptr;
        for (int i = 0; i < SDL_NumJoysticks(); ++i) {
            if (id >= 0 && SDL_JoystickGetDeviceInstanceID(i) == id)
                SDL_JoystickDetachVirtual(i);
        }
    }
    SDL_Joystick* joystick = nullptr;
};

class ControllerTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void latestConnectWinsAndAnyDisconnectClears();
    void loadsTheUsersMappingDatabase();

private:
    void pump() { manager_->gamepads().pump(); }

    RecordingEventLayer events_;
    RecordingLog log_;
    std::unique_ptr<GameControllerManager> manager_;
};

void ControllerTest::initTestCase()
{
    // Keeps SDL up between managers, so that a device can be attached before one starts.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    QCOMPARE(SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER), 0);
}

void ControllerTest::cleanupTestCase()
{
    manager_.reset();
    SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
}

void ControllerTest::init()
{
    events_.posted.clear();
    log_.lines.clear();
    manager_ = std::make_unique<GameControllerManager>(events_, log_);
    QVERIFY(manager_->gamepads().isAvailable());
    QCOMPARE(manager_->controller(), std::nullopt);
}

// Face buttons are WASD on whichever pad presses them.
void ControllerTest::latestConnectWinsAndAnyDisconnectClears()
{
    // A joystick SDL knows no gamepad layout for is held, but binds nothing.
    VirtualPad stick(false);
    pump();
    QCOMPARE(manager_->controller(), stick.info(false));
    for (int button = 0; button < 4; ++button)
        stick.set(button, true);
    VirtualPad first(true);
    VirtualPad second(true);
    pump();
    QCOMPARE(manager_->controller(), second.info(true));
    for (const int button : {SDL_CONTROLLER_BUTTON_B, SDL_CONTROLLER_BUTTON_X}) {
        second.set(button, true);
        second.set(button, false);
    }
    // Shoulders, sticks and the D-pad are not bound.
    second.set(SDL_CONTROLLER_BUTTON_LEFTSHOULDER, true);
    second.set(SDL_CONTROLLER_BUTTON_DPAD_UP, true);
    first.set(SDL_CONTROLLER_BUTTON_A, true);
    second.set(SDL_CONTROLLER_BUTTON_Y, true);
    pump();
    QCOMPARE(events_.keyTrace(), QStringList({"+0", "-0", "+1", "-1", "+13", "+2"}));
    QVERIFY(log_.lines.isEmpty());

    // Unplugged with A held: SDL lets go of its buttons, so W does not stick.
    first.detach();
    pump();
    QCOMPARE(manager_->controller(), std::nullopt); // whichever went away
    second.set(SDL_CONTROLLER_BUTTON_Y, false);
    pump();
    QCOMPARE(events_.keyTrace(), QStringList({"+0", "-0", "+1", "-1", "+13", "+2", "-13", "-2"}));

    // Left alone, the manager pumps by itself on the main thread.
    second.set(SDL_CONTROLLER_BUTTON_A, true);
    QTRY_COMPARE(events_.keyTrace().last(), QStringLiteral("+13"));
}

void ControllerTest::loadsTheUsersMappingDatabase()
{
    manager_.reset();
    VirtualPad stick(false);
    char guid[33];
    SDL_JoystickGetGUIDString(SDL_JoystickGetGUID(stick.joystick), guid, sizeof guid);
    std::fill(guid + 4, guid + 8, '0'); // database entries carry no name checksum
    QTemporaryDir config;
    QVERIFY(QDir(config.path()).mkpath("kestrelio"));
    QFile database(config.filePath("kestrelio/gamecontrollerdb.txt"));
    QVERIFY(database.open(QIODevice::WriteOnly));
    database.write(QByteArray(guid) + ",Unusual pad,a:b3,b:b2,x:b1,y:b0,platform:Linux,\n");
    database.close();
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QCoreApplication::setApplicationName("kestrelio");

    manager_ = std::make_unique<GameControllerManager>(events_, log_);
    QCOMPARE(log_.lines,
             QStringList{
                 QStringLiteral("Loaded 1 controller mappings from %1").arg(database.fileName())});
    pump();
    QCOMPARE(manager_->controller(), stick.info(true));
    stick.set(3, true); // the bottom button, by the user's map
    pump();
    QCOMPARE(events_.keyTrace(), QStringList{"+13"});
}

QTEST_GUILESS_MAIN(ControllerTest)
#include "tst_controller.moc"
