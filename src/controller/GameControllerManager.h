#pragma once

#include "controller/ControllerTypes.h"
#include "controller/SdlGamepads.h"
#include "input/EventLayer.h"
#include "input/KeyMap.h"

#include <QObject>

#include <optional>

// Lets a game controller drive the keyboard: its A, B, X and Y buttons press
// and release W, A, S and D. `controller` is the most recently connected
// device and is cleared by any disconnect; the buttons of every connected
// controller post all the same.
class GameControllerManager : public QObject
{
    Q_OBJECT
public:
    GameControllerManager(EventLayer& events, DiagnosticLog& log, QObject* parent = nullptr);

    const std::optional<ControllerInfo>& controller() const { return controller_; }
    SdlGamepads& gamepads() { return gamepads_; }

signals:
    void controllerChanged();

private:
    void controllerDidConnect(const ControllerInfo& controller);
    void controllerDidDisconnect();
    void postControllerKey(EvdevCode code, bool pressed);

    EventLayer& events_;
    SdlGamepads gamepads_;
    std::optional<ControllerInfo> controller_;
};
