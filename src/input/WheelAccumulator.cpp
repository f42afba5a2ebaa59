#include "input/WheelAccumulator.h"

#include <algorithm>

qint32 clampScrollPixels(qint32 pixels)
{
    return std::clamp(pixels, -kMaxPixelsPerScroll, kMaxPixelsPerScroll);
}

qint32 DetentAccumulator::add(qint32 pixels)
{
    remainderPixels_ += clampScrollPixels(pixels);
    const qint32 detents = remainderPixels_ / kPixelsPerDetent;
    remainderPixels_ -= detents * kPixelsPerDetent;
    return detents;
}

HighResolutionAccumulator::Step HighResolutionAccumulator::add(qint32 pixels)
{
    remainderFiftieths_ += qint64(clampScrollPixels(pixels)) * kHighResolutionPerDetent;
    const auto highResolution = qint32(remainderFiftieths_ / kPixelsPerDetent);
    remainderFiftieths_ -= qint64(highResolution) * kPixelsPerDetent;

    unitsTowardDetent_ += highResolution;
    const qint32 detents = unitsTowardDetent_ / kHighResolutionPerDetent;
    unitsTowardDetent_ -= detents * kHighResolutionPerDetent;
    return {highResolution, detents};
}
