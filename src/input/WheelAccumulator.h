#pragma once

#include <QtGlobal>

// Scroll arrives in pixels; wheels turn in detents of 50 pixels, each 120
// high-resolution units. Remainders are kept per axis so that no fraction of
// a scroll is lost across events.
inline constexpr qint32 kPixelsPerDetent = 50;
inline constexpr qint32 kHighResolutionPerDetent = 120;

// One message may ask for billions of pixels; a single scroll turns the wheel
// at most 20 detents, so that no message can flood the input system.
inline constexpr qint32 kMaxPixelsPerScroll = 20 * kPixelsPerDetent;

qint32 clampScrollPixels(qint32 pixels);

// Whole detents for one axis (for wheels that only click).
class DetentAccumulator
{
public:
    qint32 add(qint32 pixels);

private:
    qint32 remainderPixels_ = 0;
};

// High-resolution units and whole detents for one axis, as a high-resolution
// wheel reports them.
class HighResolutionAccumulator
{
public:
    struct Step
    {
        qint32 highResolution = 0;
        qint32 detents = 0;
    };
    Step add(qint32 pixels);

private:
    qint64 remainderFiftieths_ = 0; // high-resolution units x 50 not yet sent
    qint32 unitsTowardDetent_ = 0;
};
