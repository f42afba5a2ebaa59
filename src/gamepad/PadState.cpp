#include "gamepad/PadState.h"

#include <algorithm>
#include <cmath>
#include <linux/input-event-codes.h>

namespace {

template <class... Handlers> struct Overloaded : Handlers...
{
    using Handlers::operator()...;
};

} // namespace

qint32 stickAxisValue(double position)
{
    // The range is one step longer below zero than above it.
    return qint32(std::lround(position * (position < 0 ? 32768.0 : 32767.0)));
}

qint32 triggerAxisValue(double pull)
{
    return qint32(std::lround(pull * 255.0));
}

PadState::Frame PadState::apply(const PadMessage& message)
{
    Frame frame;
    std::visit(Overloaded{
                   [this, &frame](const PadButtonMessage& button) {
                       const bool wasDown = buttons_.contains(button.button);
                       if (button.pressed == wasDown)
                           return;
                       if (button.pressed)
                           buttons_.insert(button.button);
                       else
                           buttons_.remove(button.button);
                       frame.append({EV_KEY, button.button, button.pressed ? 1 : 0});
                   },
                   [this, &frame](const PadDirectionMessage& direction) {
                       frame = applyDirection(direction);
                   },
                   [this, &frame](const PadTriggerMessage& trigger) {
                       setAxis(trigger.axis, triggerAxisValue(trigger.value), frame);
                   },
                   [this, &frame](const PadStickMessage& stick) {
                       setAxis(stick.xAxis, stickAxisValue(stick.x), frame);
                       setAxis(quint16(stick.xAxis + 1), stickAxisValue(stick.y), frame);
                   },
                   [](const IgnoredPadMessage&) {},
               },
               message);
    return frame;
}

PadState::Frame PadState::applyDirection(const PadDirectionMessage& message)
{
    directions_.removeAll(message.direction);
    if (message.pressed)
        directions_.append(message.direction);
    qint32 x = 0;
    qint32 y = 0;
    for (const PadDirection held : std::as_const(directions_)) {
        switch (held) {
        case PadDirection::Up:
            y = -1;
            break;
        case PadDirection::Down:
            y = 1;
            break;
        case PadDirection::Left:
            x = -1;
            break;
        case PadDirection::Right:
            x = 1;
            break;
        }
    }
    Frame frame;
    setAxis(ABS_HAT0X, x, frame);
    setAxis(ABS_HAT0Y, y, frame);
    return frame;
}

PadState::Frame PadState::neutral()
{
    // In code order, so that the same state always gives the same frame.
    QList<quint16> buttons = buttons_.values();
    std::sort(buttons.begin(), buttons.end());
    QList<quint16> axes = axes_.keys();
    std::sort(axes.begin(), axes.end());
    Frame frame;
    for (const quint16 button : std::as_const(buttons))
        frame.append({EV_KEY, button, 0});
    for (const quint16 axis : std::as_const(axes))
        setAxis(axis, 0, frame);
    buttons_.clear();
    directions_.clear();
    return frame;
}

void PadState::setAxis(quint16 axis, qint32 value, Frame& frame)
{
    // Every axis rests at 0: the sticks centred, the triggers released.
    if (axes_.value(axis, 0) == value)
        return;
    axes_.insert(axis, value);
    frame.append({EV_ABS, axis, value});
}
