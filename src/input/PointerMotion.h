#pragma once

#include "input/EventLayer.h"

#include <QString>

// Turns "move DX DY" messages into relative pointer motion. Amounts are
// pixels, decimals allowed; the fractions are kept so that slow, fine
// motion adds up instead of vanishing.
class PointerMotion
{
public:
    // One message moves at most this far on each axis, so that no message
    // can throw the pointer across every screen.
    static constexpr double kMaxPixelsPerMessage = 1000;

    explicit PointerMotion(EventLayer& events);

    // False for a malformed message, which moves nothing.
    bool handleMoveMessage(const QString& message);

private:
    EventLayer& events_;
    double remainderX_ = 0;
    double remainderY_ = 0;
};
