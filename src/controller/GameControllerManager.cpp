#include "controller/GameControllerManager.h"

namespace {

AnsiKeyCode keyFor(FaceButton button)
{
    switch (button) {
    case FaceButton::A:
        return 13; // W
    case FaceButton::B:
        return 0; // A
    case FaceButton::X:
        return 1; // S
    case FaceButton::Y:
        return 2; // D
    }
    Q_UNREACHABLE();
}

} // namespace

GameControllerManager::GameControllerManager(EventLayer& events, DiagnosticLog& log,
                                             QObject* parent)
    : QObject(parent), events_(events), gamepads_(log)
{
    connect(&gamepads_, &SdlGamepads::connected, this,
            &GameControllerManager::controllerDidConnect);
    connect(&gamepads_, &SdlGamepads::disconnected, this,
            &GameControllerManager::controllerDidDisconnect);
    connect(&gamepads_, &SdlGamepads::faceButtonChanged, this,
            [this](int, FaceButton button, bool pressed) {
                postControllerKey(keyFor(button), pressed);
            });
}

void GameControllerManager::controllerDidConnect(const ControllerInfo& controller)
{
    controller_ = controller;
    emit controllerChanged();
}

void GameControllerManager::controllerDidDisconnect()
{
    controller_.reset();
    emit controllerChanged();
}

void GameControllerManager::postControllerKey(AnsiKeyCode code, bool pressed)
{
    if (const std::optional<KeyEvent> event =
            events_.createKeyEvent(events_.createSource(), code, pressed))
        events_.post(TapLocation::Hid, *event);
}
