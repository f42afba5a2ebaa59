#include "ProgramProcess.h"
#include "TestSupport.h"

#include <QDir>
#include <QScopeGuard>
#include <QTest>

#include <SDL.h>
#include <fcntl.h>
#include <functional>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <memory>
#include <sys/ioctl.h>
#include <tuple>
#include <unistd.h>

namespace {

// An input device's node, opened without blocking, as libevdev reads it.
struct EvdevNode
{
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

    // Whether `code` reaches `value` within the time, reading all on the way.
    bool waitFor(unsigned type, unsigned code, int value, int timeoutMs = 5000)
    {
        return QTest::qWaitFor(
            [&] {
                input_event event;
                while (libevdev_next_event(device, LIBEVDEV_READ_FLAG_NORMAL, &event) ==
                       LIBEVDEV_READ_STATUS_SUCCESS)
                    if (event.type == type && event.code == code && event.value == value)
                        return true;
                return false;
            },
            timeoutMs);
    }

    const QString path;
    const int fd;
    libevdev* device = nullptr;
};

std::unique_ptr<EvdevNode> deviceNamed(const QByteArray& name)
{
    const QDir directory(QStringLiteral("/dev/input"));
    for (const QString& entry : directory.entryList({QStringLiteral("event*")}, QDir::System)) {
        auto node = std::make_unique<EvdevNode>(directory.filePath(entry));
        if (node->device && name == libevdev_get_name(node->device))
            return node;
    }
    return nullptr;
}

std::unique_ptr<EvdevNode> pad(int player)
{
    return deviceNamed("Kestrelio pad " + QByteArray::number(player));
}

// A phone in pad mode: connected once the server has named its player.
std::unique_ptr<TestClient> padPhone(int player)
{
    auto phone = std::make_unique<TestClient>(QUrl(QStringLiteral("ws://127.0.0.1:3330/pad")));
    const QString named = QStringLiteral("PLAYER %1").arg(player);
    const bool ok = QTest::qWaitFor([&] { return phone->count(named) == 1; }, 10000);
    return ok ? std::move(phone) : nullptr;
}

// Pumps SDL and Qt until `done`.
bool sdlWaitFor(const std::function<bool()>& done)
{
    return QTest::qWaitFor(
        [&] {
            SDL_Event event;
            while (SDL_PollEvent(&event)) {
            }
            return done();
        },
        10000);
}

} // namespace

// The program on a real kernel's uinput, read back through evdev. This
// machine's kernel has none, so run-in-guest.sh runs this test inside QEMU.
class KernelTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void keysAndPadsReachTheKernel();
    void rumbleReachesItsPhone();
    void cleanupTestCase();

private:
    // Headless, as a user starts it. The guest has no udev: this way the
    // program's own controller bridge finds the phones' pads, as it does on a
    // desktop, and so does SDL here.
    ProgramProcess program_{{QStringLiteral("SDL_JOYSTICK_DISABLE_UDEV=1")}};
};

// Under TCG the program starts in seconds, not milliseconds.
constexpr int kSlow = 30000;

void KernelTest::initTestCase()
{
    QVERIFY2(QFile::exists(QStringLiteral("/dev/uinput")),
             "no /dev/uinput: run this test through tests/kernel/run-in-guest.sh");
    qputenv("SDL_JOYSTICK_DISABLE_UDEV", "1");
    program_.start({QStringLiteral("--headless")});
    QVERIFY2(program_.waitFor("Server ready on port 3330\n", kSlow), program_.output.constData());
    QVERIFY2(program_.output.contains("Input backend: uinput"), program_.output.constData());
}

// Keys go to the program's own keyboard, the pointer to its wheel device. Each /pad connection is a
// pad of its own that SDL takes for a game controller, with buttons and sticks where games look for
// them, and never a keyboard; it goes when its phone does.
void KernelTest::keysAndPadsReachTheKernel()
{
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    QVERIFY2(SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) == 0, SDL_GetError());
    QList<SDL_GameController*> opened;
    const auto quitSdl = qScopeGuard([&] {
        for (SDL_GameController* controller : opened)
            SDL_GameControllerClose(controller);
        SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
    });
    QCOMPARE(SDL_NumJoysticks(), 0);

    const std::unique_ptr<EvdevNode> keyboard = deviceNamed("Kestrelio virtual keyboard");
    const std::unique_ptr<EvdevNode> mouse = deviceNamed("Kestrelio virtual wheel");
    QVERIFY(keyboard && mouse);
    TestClient phone(QUrl(QStringLiteral("ws://127.0.0.1:3330")));
    // A message, then the device and event it makes.
    const std::tuple<const char*, EvdevNode*, unsigned, unsigned, int> keysAndMouse[] = {
        {"w", keyboard.get(), EV_KEY, KEY_W, 1},
        {"-w", keyboard.get(), EV_KEY, KEY_W, 0},
        {"leftshift", keyboard.get(), EV_KEY, KEY_LEFTSHIFT, 1},
        {"kbd_lcd_menu5", keyboard.get(), EV_KEY, KEY_KBD_LCD_MENU5, 1},
        {"move 5 -3", mouse.get(), EV_REL, REL_Y, -3},
        {"btn_right", mouse.get(), EV_KEY, BTN_RIGHT, 1},
        {"-btn_right", mouse.get(), EV_KEY, BTN_RIGHT, 0},
    };
    for (const auto& [message, device, type, code, value] : keysAndMouse) {
        phone.send(QString::fromLatin1(message));
        QVERIFY2(device->waitFor(type, code, value), message);
    }

    std::unique_ptr<TestClient> first = padPhone(1);
    const std::unique_ptr<TestClient> second = padPhone(2);
    QVERIFY(first && second);
    QVERIFY(program_.waitFor("Game pad 2 connected (Kestrelio pad 2)\n", kSlow));
    QVERIFY(sdlWaitFor([] { return SDL_NumJoysticks() == 2; }));
    for (int player : {1, 2}) {
        const std::unique_ptr<EvdevNode> node = pad(player);
        QVERIFY(node);
        for (int index = 0; index < SDL_NumJoysticks(); ++index)
            if (SDL_IsGameController(index) && node->path == SDL_JoystickPathForIndex(index))
                opened.append(SDL_GameControllerOpen(index));
        QVERIFY2(opened.size() == player && opened.last(), "SDL sees a pad, not a game controller");
    }
    const auto pressed = [&](int player) {
        return SDL_GameControllerGetButton(opened[player - 1], SDL_CONTROLLER_BUTTON_A);
    };
    second->send(QStringLiteral("a"));
    QVERIFY(sdlWaitFor([&] { return pressed(2) == 1; }));
    QCOMPARE(pressed(1), 0);
    second->send(QStringLiteral("ls 1 0"));
    QVERIFY(sdlWaitFor(
        [&] { return SDL_GameControllerGetAxis(opened[1], SDL_CONTROLLER_AXIS_LEFTX) > 32000; }));
    QVERIFY(qAbs(SDL_GameControllerGetAxis(opened[1], SDL_CONTROLLER_AXIS_LEFTY)) < 1000);
    // The program's controller bridge (A is W) leaves its own pads alone.
    QVERIFY(!keyboard->waitFor(EV_KEY, KEY_W, 1, 1500));
    second->send(QStringLiteral("-a"));
    QVERIFY(sdlWaitFor([&] { return pressed(2) == 0; }));

    first.reset();
    QVERIFY(sdlWaitFor([] { return SDL_NumJoysticks() == 1; }));
    QVERIFY(!pad(1));
    QVERIFY(program_.waitFor("Game pad 1 removed", kSlow));
}

// A game's rumble (an FF_RUMBLE effect uploaded to the pad, then played)
// reaches the phone that owns the pad, and so does its stop.
void KernelTest::rumbleReachesItsPhone()
{
    const std::unique_ptr<TestClient> phone = padPhone(1);
    QVERIFY(phone);
    const std::unique_ptr<EvdevNode> node = pad(1);
    QVERIFY(node && libevdev_has_event_code(node->device, EV_FF, FF_RUMBLE));
    ff_effect effect{FF_RUMBLE, -1, 0, {}, {250, 0}, {}};
    effect.u.rumble = {0xc000, 0x4000}; // strong, weak
    // Blocks until the program has taken the upload.
    QVERIFY2(::ioctl(node->fd, EVIOCSFF, &effect) == 0, strerror(errno));
    const auto play = [&](int value) {
        const input_event event{{}, EV_FF, quint16(effect.id), value};
        return ::write(node->fd, &event, sizeof event) == sizeof event;
    };
    QVERIFY(play(1));
    QTRY_COMPARE_WITH_TIMEOUT(phone->count(QStringLiteral("RUMBLE 49152 16384 250")), 1, 10000);
    QVERIFY(play(0));
    QTRY_COMPARE_WITH_TIMEOUT(phone->count(QStringLiteral("RUMBLE 0 0 0")), 1, 10000);
}

void KernelTest::cleanupTestCase()
{
    QVERIFY(program_.quit());
}

QTEST_GUILESS_MAIN(KernelTest)
#include "tst_kernel.moc"
