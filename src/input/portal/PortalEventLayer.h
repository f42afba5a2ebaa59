#pragma once

#include "input/EvdevKeyCodes.h"
#include "input/EventLayer.h"
#include "input/WheelAccumulator.h"

// Where a granted remote input session sends its events. Axis 0 is vertical
// and 1 horizontal; steps count down and right.
class RemoteInputSink
{
public:
    virtual ~RemoteInputSink() = default;
    virtual void notifyKey(quint16 evdevCode, bool pressed) = 0;
    virtual void notifyAxis(quint32 axis, qint32 steps) = 0;
};

// Posts through the desktop's RemoteDesktop portal once the user allowed it.
// Both taps post the same way.
class PortalEventLayer final : public EventLayer
{
public:
    PortalEventLayer(RemoteInputSink& sink, DiagnosticLog& log);

    void post(TapLocation tap, const InputEvent& event) override;

private:
    RemoteInputSink& sink_;
    KeyTranslator keys_;
    DetentAccumulator up_;
    DetentAccumulator left_;
};
