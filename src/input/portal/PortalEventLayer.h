#pragma once

#include "input/EventLayer.h"
#include "input/WheelAccumulator.h"

// Where a granted remote input session sends its events. Keys and buttons
// are evdev codes. Axis 0 is vertical and 1 horizontal; steps count down and
// right, and so does motion.
class RemoteInputSink
{
public:
    virtual ~RemoteInputSink() = default;
    virtual void notifyKey(quint16 evdevCode, bool pressed) = 0;
    virtual void notifyAxis(quint32 axis, qint32 steps) = 0;
    virtual void notifyMotion(double x, double y) = 0;
    virtual void notifyButton(quint16 evdevCode, bool pressed) = 0;
};

// Posts through the desktop's RemoteDesktop portal once the user allowed it.
class PortalEventLayer final : public EventLayer
{
public:
    explicit PortalEventLayer(RemoteInputSink& sink);

    void post(const InputEvent& event) override;

private:
    void postScroll(const ScrollEvent& scroll);

    RemoteInputSink& sink_;
    DetentAccumulator up_;
    DetentAccumulator left_;
};
