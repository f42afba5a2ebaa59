#pragma once

#include "input/EventLayer.h"
#include "input/InputEventWriter.h"
#include "input/UinputDevices.h"
#include "input/WheelAccumulator.h"

#include <memory>

// Posts through the kernel's uinput: works on X11 and Wayland alike. Keys go
// to the virtual keyboard; scrolling, motion and mouse buttons to the wheel.
class UinputBackend final : public EventLayer
{
public:
    explicit UinputBackend(std::unique_ptr<UinputDevices> devices, DiagnosticLog& log);
    // Writes to the given descriptors, which stay the caller's.
    UinputBackend(int keyboardFd, int wheelFd, DiagnosticLog& log);

    void post(const InputEvent& event) override;

private:
    void postScroll(const ScrollEvent& scroll);
    void postMotion(const PointerMotionEvent& motion);

    std::unique_ptr<UinputDevices> devices_;
    InputEventWriter keyboard_;
    InputEventWriter wheel_;
    HighResolutionAccumulator vertical_;
    HighResolutionAccumulator horizontal_;
};
