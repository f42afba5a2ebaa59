#include "controller/SdlGamepads.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <SDL.h>

namespace {

std::optional<FaceButton> faceButton(Uint8 button)
{
    switch (button) {
    case SDL_CONTROLLER_BUTTON_A:
        return FaceButton::A;
    case SDL_CONTROLLER_BUTTON_B:
        return FaceButton::B;
    case SDL_CONTROLLER_BUTTON_X:
        return FaceButton::X;
    case SDL_CONTROLLER_BUTTON_Y:
        return FaceButton::Y;
    default:
        return std::nullopt;
    }
}

// Whether the evdev node at `path` is one of the pads this program makes for
// phones: binding those as well would type a key for each button a phone's
// pad presses.
bool isPhonePad(const char* path)
{
    const QString node = QFileInfo(QString::fromUtf8(path)).fileName();
    if (!node.startsWith(QLatin1String("event")))
        return false;
    QFile name(QStringLiteral("/sys/class/input/%1/device/name").arg(node));
    return name.open(QIODevice::ReadOnly) && name.readLine().startsWith("Kestrelio pad ");
}

} // namespace

SdlGamepads::SdlGamepads(DiagnosticLog& log, QObject* parent) : QObject(parent), log_(log)
{
    // SDL would otherwise take over SIGINT and SIGTERM, and Ctrl+C would stop
    // ending the program.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    // The whole point is to play while another application has the focus.
    SDL_SetHint(SDL_HINT_JOYSTICK_ALLOW_BACKGROUND_EVENTS, "1");
    // A, B, X and Y by position, not by the letters printed on the pad.
    SDL_SetHint(SDL_HINT_GAMECONTROLLER_USE_BUTTON_LABELS, "0");
    if (SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) != 0) {
        log_.writeLine(QStringLiteral("Game controllers are unavailable: ") +
                       QString::fromUtf8(SDL_GetError()));
        return;
    }
    available_ = true;

    // SDL reads SDL_GAMECONTROLLERCONFIG by itself; a file of the user's own
    // maps pads SDL does not know.
    const QString database =
        QDir(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation))
            .filePath(QStringLiteral("gamecontrollerdb.txt"));
    if (QFileInfo::exists(database)) {
        const int added = SDL_GameControllerAddMappingsFromFile(database.toLocal8Bit().constData());
        log_.writeLine(
            added >= 0
                ? QStringLiteral("Loaded %1 controller mappings from %2").arg(added).arg(database)
                : QStringLiteral("Cannot read controller mappings from %1: %2")
                      .arg(database, QString::fromUtf8(SDL_GetError())));
    }

    pumpTimer_.setTimerType(Qt::PreciseTimer);
    connect(&pumpTimer_, &QTimer::timeout, this, &SdlGamepads::tick);
    QString error;
    hotplug_ = watchInputHotplug(error);
    if (hotplug_)
        connect(hotplug_.get(), &HotplugWatch::devicesChanged, this, &SdlGamepads::settle);
    else
        log_.writeLine(QStringLiteral("Game controllers plugged in later are found by polling "
                                      "(device changes cannot be watched: %1)")
                           .arg(error));
    // The devices present at start wait as events for the first pump.
    QMetaObject::invokeMethod(this, &SdlGamepads::tick, Qt::QueuedConnection);
}

SdlGamepads::~SdlGamepads()
{
    if (!available_)
        return;
    for (const Opened& device : std::as_const(opened_)) {
        if (device.controller)
            SDL_GameControllerClose(device.controller);
        else
            SDL_JoystickClose(device.joystick);
    }
    SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
}

void SdlGamepads::pump()
{
    if (!available_)
        return;
    SDL_PumpEvents();
    SDL_Event event;
    // Bounded: a burst larger than this waits for the next tick.
    for (int i = 0; i < 256 && SDL_PollEvent(&event) == 1; ++i) {
        switch (event.type) {
        case SDL_JOYDEVICEADDED:
            open(event.jdevice.which);
            break;
        case SDL_JOYDEVICEREMOVED:
            close(event.jdevice.which);
            break;
        case SDL_CONTROLLERBUTTONDOWN:
        case SDL_CONTROLLERBUTTONUP:
            if (const std::optional<FaceButton> button = faceButton(event.cbutton.button);
                button && opened_.contains(event.cbutton.which))
                emit faceButtonChanged(event.cbutton.which, *button,
                                       event.cbutton.state == SDL_PRESSED);
            break;
        default:
            break;
        }
    }
}

void SdlGamepads::open(int deviceIndex)
{
    if (isPhonePad(SDL_JoystickPathForIndex(deviceIndex)))
        return;
    Opened device;
    if (SDL_IsGameController(deviceIndex)) {
        device.controller = SDL_GameControllerOpen(deviceIndex);
        device.joystick =
            device.controller ? SDL_GameControllerGetJoystick(device.controller) : nullptr;
    } else {
        device.joystick = SDL_JoystickOpen(deviceIndex);
    }
    if (!device.joystick)
        return;
    const int instanceId = SDL_JoystickInstanceID(device.joystick);
    if (opened_.contains(instanceId)) { // SDL can announce a device twice
        if (device.controller)
            SDL_GameControllerClose(device.controller);
        else
            SDL_JoystickClose(device.joystick);
        return;
    }
    opened_.insert(instanceId, device);
    adjustPumpRate();
    emit connected({instanceId, QString::fromUtf8(SDL_JoystickName(device.joystick)),
                    device.controller != nullptr});
}

void SdlGamepads::close(int instanceId)
{
    // Removals come for every joystick; only ours matter.
    const auto it = opened_.constFind(instanceId);
    if (it == opened_.constEnd())
        return;
    if (it->controller)
        SDL_GameControllerClose(it->controller);
    else
        SDL_JoystickClose(it->joystick);
    opened_.erase(it);
    adjustPumpRate();
    emit disconnected(instanceId);
}

void SdlGamepads::settle()
{
    settlePumpsLeft_ = kSettlePumps;
    adjustPumpRate();
}

void SdlGamepads::tick()
{
    if (opened_.isEmpty() && settlePumpsLeft_ > 0)
        --settlePumpsLeft_;
    pump();
    adjustPumpRate();
}

void SdlGamepads::adjustPumpRate()
{
    // Without a watch, polling slowly is the only way to notice a new pad.
    std::optional<std::chrono::milliseconds> interval;
    if (!opened_.isEmpty())
        interval = kActiveInterval;
    else if (settlePumpsLeft_ > 0)
        interval = kSettleInterval;
    else if (!hotplug_)
        interval = kPollInterval;
    if (!interval)
        pumpTimer_.stop();
    else if (!pumpTimer_.isActive() || pumpTimer_.intervalAsDuration() != *interval)
        pumpTimer_.start(*interval);
}
