#include "TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTest>

#include <SDL.h>
#include <fcntl.h>
#include <functional>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>

// The program on a real kernel's uinput, read back through evdev. This
// machine's kernel has none, so run-in-guest.sh runs this test inside QEMU.
class KernelTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void keysReachTheKernelKeyboard();
    void twoPhonesAreTwoGameControllers();
    void rumbleReachesItsPhone();
    void cleanupTestCase();

private:
    bool programSays(const QByteArray& text);

    // The real program, headless, as a user starts it.
    QProcess program;
    QByteArray programOutput;
};

namespace {

const QUrl kServer(QStringLiteral("ws://127.0.0.1:3330"));
const QUrl kPadServer(QStringLiteral("ws://127.0.0.1:3330/pad"));

// One /dev/input/event* node, opened without blocking, with what libevdev
// makes of it.
class EvdevNode
{
public:
    // The node of the input device called `name`, or none.
    static std::unique_ptr<EvdevNode> named(const QByteArray& name)
    {
        const QDir directory(QStringLiteral("/dev/input"));
        for (const QString& entry : directory.entryList({QStringLiteral("event*")}, QDir::System)) {
            auto node = std::make_unique<EvdevNode>(directory.filePath(entry));
            if (node->device && node->name() == name)
                return node;
        }
        return nullptr;
    }

    explicit EvdevNode(const QString& path)
        : path(path), fd(::open(qPrintable(path), O_RDWR | O_NONBLOCK | O_CLOEXEC))
    {
        if (fd >= 0 && libevdev_new_from_fd(fd, &device) != 0)
            device = nullptr;
    }
    ~EvdevNode()
    {
        libevdev_free(device);
        if (fd >= 0)
            ::close(fd);
    }
    EvdevNode(const EvdevNode&) = delete;
    EvdevNode& operator=(const EvdevNode&) = delete;

    QByteArray name() const { return libevdev_get_name(device); }

    // Whether `code` reaches `value` within the time, reading all on the way.
    bool waitFor(unsigned type, unsigned code, int value, int timeoutMs = 5000)
    {
        return QTest::qWaitFor(
            [&] {
                input_event event;
                while (libevdev_next_event(device, LIBEVDEV_READ_FLAG_NORMAL, &event) ==
                       LIBEVDEV_READ_STATUS_SUCCESS) {
                    if (event.type == type && event.code == code && event.value == value)
                        return true;
                }
                return false;
            },
            timeoutMs);
    }

    const QString path;
    const int fd;
    libevdev* device = nullptr;
};

// A phone in pad mode: connected once the server has named its player.
std::unique_ptr<TestClient> padPhone(int player)
{
    auto phone = std::make_unique<TestClient>(kPadServer);
    const QString named = QStringLiteral("PLAYER %1").arg(player);
    if (!QTest::qWaitFor([&] { return phone->count(named) == 1; }, 10000))
        return nullptr;
    return phone;
}

QByteArray deviceNameOfPad(int player)
{
    return QByteArrayLiteral("Kestrelio pad ") + QByteArray::number(player);
}

// SDL's game controllers, found as a game finds them without udev: by
// scanning /dev/input. SDL_Init once per process.
struct SdlControllers
{
    SdlControllers()
    {
        SDL_setenv("SDL_JOYSTICK_DISABLE_UDEV", "1", 1);
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        ok = SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) == 0;
    }
    ~SdlControllers()
    {
        for (SDL_GameController* controller : opened)
            SDL_GameControllerClose(controller);
        SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
    }

    // Pumps SDL and Qt until `done`, keeping the controllers SDL removed.
    bool waitFor(const std::function<bool()>& done)
    {
        return QTest::qWaitFor(
            [&] {
                SDL_Event event;
                while (SDL_PollEvent(&event))
                    if (event.type == SDL_CONTROLLERDEVICEREMOVED)
                        removed.append(event.cdevice.which);
                return done();
            },
            10000);
    }

    // The controller SDL made of an evdev node, opened.
    SDL_GameController* open(const QString& path)
    {
        for (int index = 0; index < SDL_NumJoysticks(); ++index) {
            if (SDL_IsGameController(index) &&
                path == QLatin1String(SDL_JoystickPathForIndex(index))) {
                opened.append(SDL_GameControllerOpen(index));
                return opened.last();
            }
        }
        return nullptr;
    }

    static SDL_JoystickID idOf(SDL_GameController* controller)
    {
        return SDL_JoystickInstanceID(SDL_GameControllerGetJoystick(controller));
    }

    bool ok = false;
    QList<SDL_GameController*> opened;
    QList<SDL_JoystickID> removed;
};

} // namespace

// Under TCG the program starts in seconds, not milliseconds.
bool KernelTest::programSays(const QByteArray& text)
{
    (void)QTest::qWaitFor(
        [&] {
            programOutput += program.readAllStandardOutput();
            return programOutput.contains(text) || program.state() == QProcess::NotRunning;
        },
        30000);
    return programOutput.contains(text);
}

void KernelTest::initTestCase()
{
    QVERIFY2(QFile::exists(QStringLiteral("/dev/uinput")),
             "no /dev/uinput: run this test through tests/kernel/run-in-guest.sh");
    QVERIFY2(::geteuid() == 0, "the test opens input devices: run it as root");
    program.setProcessChannelMode(QProcess::MergedChannels);
    // The guest has no udev: this way the program's own controller bridge
    // finds the phones' pads, as it does on a desktop.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("SDL_JOYSTICK_DISABLE_UDEV"), QStringLiteral("1"));
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(KESTRELIO_BINARY), {QStringLiteral("--headless")});
    QVERIFY2(programSays("Server ready on port 3330\n"), programOutput.constData());
    QVERIFY2(programOutput.contains("Input backend: uinput"), programOutput.constData());
}

// "w" is KEY_W on the program's own keyboard, going down and up again.
void KernelTest::keysReachTheKernelKeyboard()
{
    const std::unique_ptr<EvdevNode> keyboard = EvdevNode::named("Kestrelio virtual keyboard");
    QVERIFY(keyboard);
    TestClient phone(kServer);
    QVERIFY(phone.sync());
    phone.send(QStringLiteral("w"));
    QVERIFY(keyboard->waitFor(EV_KEY, KEY_W, 1));
    phone.send(QStringLiteral("-w"));
    QVERIFY(keyboard->waitFor(EV_KEY, KEY_W, 0));
}

// Each /pad connection is a pad of its own that SDL takes for a game
// controller, with buttons and sticks where games look for them, and never a
// keyboard; it goes when its phone does.
void KernelTest::twoPhonesAreTwoGameControllers()
{
    SdlControllers sdl;
    QVERIFY2(sdl.ok, SDL_GetError());
    QCOMPARE(SDL_NumJoysticks(), 0);

    std::unique_ptr<TestClient> first = padPhone(1);
    QVERIFY(first);
    const std::unique_ptr<TestClient> second = padPhone(2);
    QVERIFY(second);
    const std::unique_ptr<EvdevNode> firstNode = EvdevNode::named(deviceNameOfPad(1));
    const std::unique_ptr<EvdevNode> secondNode = EvdevNode::named(deviceNameOfPad(2));
    QVERIFY(firstNode && secondNode);
    QVERIFY(sdl.waitFor([] { return SDL_NumJoysticks() == 2; }));
    SDL_GameController* const firstPad = sdl.open(firstNode->path);
    SDL_GameController* const secondPad = sdl.open(secondNode->path);
    QVERIFY2(firstPad && secondPad, "SDL sees the pads, but not as game controllers");

    const std::unique_ptr<EvdevNode> keyboard = EvdevNode::named("Kestrelio virtual keyboard");
    QVERIFY(keyboard);
    second->send(QStringLiteral("a"));
    QVERIFY(sdl.waitFor(
        [&] { return SDL_GameControllerGetButton(secondPad, SDL_CONTROLLER_BUTTON_A) == 1; }));
    QCOMPARE(SDL_GameControllerGetButton(firstPad, SDL_CONTROLLER_BUTTON_A), 0);
    second->send(QStringLiteral("ls 1 0"));
    QVERIFY(sdl.waitFor(
        [&] { return SDL_GameControllerGetAxis(secondPad, SDL_CONTROLLER_AXIS_LEFTX) > 32000; }));
    QVERIFY(qAbs(SDL_GameControllerGetAxis(secondPad, SDL_CONTROLLER_AXIS_LEFTY)) < 1000);
    // The program's controller bridge (A is W) leaves its own pads alone.
    QVERIFY(!keyboard->waitFor(EV_KEY, KEY_W, 1, 1500));
    second->send(QStringLiteral("-a"));
    QVERIFY(sdl.waitFor(
        [&] { return SDL_GameControllerGetButton(secondPad, SDL_CONTROLLER_BUTTON_A) == 0; }));

    const SDL_JoystickID firstId = SdlControllers::idOf(firstPad);
    first.reset();
    QVERIFY(sdl.waitFor([&] { return sdl.removed.contains(firstId); }));
    QCOMPARE(SDL_NumJoysticks(), 1);
    QVERIFY(!QFile::exists(firstNode->path));
    QVERIFY(!EvdevNode::named(deviceNameOfPad(1)));
    QVERIFY(programSays("Game pad 1 removed"));
}

// A game's rumble (an FF_RUMBLE effect uploaded to the pad, then played)
// reaches the phone that owns the pad, and so does its stop.
void KernelTest::rumbleReachesItsPhone()
{
    const std::unique_ptr<TestClient> phone = padPhone(1);
    QVERIFY(phone);
    const std::unique_ptr<EvdevNode> pad = EvdevNode::named(deviceNameOfPad(1));
    QVERIFY(pad);
    QVERIFY(libevdev_has_event_code(pad->device, EV_FF, FF_RUMBLE));

    ff_effect effect{};
    effect.type = FF_RUMBLE;
    effect.id = -1;
    effect.u.rumble.strong_magnitude = 0xc000;
    effect.u.rumble.weak_magnitude = 0x4000;
    effect.replay.length = 250;
    // Blocks until the program has taken the upload.
    QVERIFY2(::ioctl(pad->fd, EVIOCSFF, &effect) == 0, strerror(errno));
    const auto play = [&](int value) {
        input_event event{};
        event.type = EV_FF;
        event.code = quint16(effect.id);
        event.value = value;
        return ::write(pad->fd, &event, sizeof event) == sizeof event;
    };
    QVERIFY(play(1));
    QTRY_COMPARE_WITH_TIMEOUT(phone->count(QStringLiteral("RUMBLE 49152 16384 250")), 1, 10000);
    QVERIFY(play(0));
    QTRY_COMPARE_WITH_TIMEOUT(phone->count(QStringLiteral("RUMBLE 0 0 0")), 1, 10000);
}

void KernelTest::cleanupTestCase()
{
    program.terminate();
    QVERIFY(program.waitForFinished(10000));
    programOutput += program.readAllStandardOutput();
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

QTEST_GUILESS_MAIN(KernelTest)
#include "tst_kernel.moc"
