#pragma once

#include "gamepad/PadMessage.h"
#include "input/InputEventWriter.h"

#include <QHash>
#include <QList>
#include <QSet>

// What one pad holds, and the evdev events that each message changes in it.
// Only changes are sent: a repeated value is no event.
class PadState
{
public:
    using Frame = QList<InputEventWriter::Event>;

    Frame apply(const PadMessage& message);
    // Everything let go and centred.
    Frame neutral();

private:
    void setAxis(quint16 axis, qint32 value, Frame& frame);
    Frame applyDirection(const PadDirectionMessage& message);

    QSet<quint16> buttons_;
    QHash<quint16, qint32> axes_;
    // Held d-pad directions, oldest first: on each axis the newest one wins,
    // so left then right is right, and letting go of right with left still
    // held is left again.
    QList<PadDirection> directions_;
};

// The axis values of a stick position and a trigger pull.
qint32 stickAxisValue(double position);
qint32 triggerAxisValue(double pull);
