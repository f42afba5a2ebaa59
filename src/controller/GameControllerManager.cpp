#include "controller/GameControllerManager.h"

#include <linux/input-event-codes.h>

namespace {

EvdevCode keyFor(FaceButton button)
{
    switch (button) {
    case FaceButton::A:
        return KEY_W;
    case FaceButton::B:
        return KEY_A;
    case FaceButton::X:
        return KEY_S;
    case FaceButton::Y:
        return KEY_D;
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

void GameControllerManager::postControllerKey(EvdevCode code, bool pressed)
{
    events_.post(KeyEvent{code, pressed});
}
