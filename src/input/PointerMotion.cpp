#include "input/PointerMotion.h"

#include "input/ScrollSynthesizer.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

// Adds a clamped amount to `remainder` and takes out the whole pixels.
qint32 wholePixels(double& remainder, float amount)
{
    remainder += std::clamp(double(amount), -PointerMotion::kMaxPixelsPerMessage,
                            PointerMotion::kMaxPixelsPerMessage);
    const double whole = std::trunc(remainder);
    remainder -= whole;
    return qint32(whole);
}

} // namespace

PointerMotion::PointerMotion(EventLayer& events) : events_(events) {}

bool PointerMotion::handleMoveMessage(const QString& message)
{
    const QStringList tokens = message.split(u' ', Qt::SkipEmptyParts);
    if (tokens.size() != 3 || tokens[0] != u"move")
        return false;
    const std::optional<float> x = parseScrollAmount(tokens[1]);
    const std::optional<float> y = parseScrollAmount(tokens[2]);
    if (!x || !y)
        return false;
    const PointerMotionEvent motion{wholePixels(remainderX_, *x), wholePixels(remainderY_, *y)};
    if (motion != PointerMotionEvent{})
        events_.post(motion);
    return true;
}
