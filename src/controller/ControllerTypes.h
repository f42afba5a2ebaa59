#pragma once

#include <QString>

// The four face buttons, named by where they sit on the pad, whatever is
// printed on them: A bottom, B right, X left, Y top.
enum class FaceButton
{
    A,
    B,
    X,
    Y,
};

// A connected device. One without a gamepad profile (a joystick with no
// known button layout) is held like any other but binds nothing.
struct ControllerInfo
{
    int instanceId = -1;
    QString name;
    bool hasGamepadProfile = false;
    friend bool operator==(const ControllerInfo&, const ControllerInfo&) = default;
};
