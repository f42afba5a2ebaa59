#pragma once

#include "input/EvdevKeyCodes.h"
#include "input/EventLayer.h"
#include "input/InputEventWriter.h"
#include "input/UinputDevices.h"
#include "input/WheelAccumulator.h"

#include <memory>

// Posts through the kernel's uinput: works on X11 and Wayland alike. Both taps
// post the same way.
class UinputBackend final : public EventLayer
{
public:
    explicit UinputBackend(std::unique_ptr<UinputDevices> devices, DiagnosticLog& log);
    // Writes to the given descriptors, which stay the caller's.
    UinputBackend(int keyboardFd, int wheelFd, DiagnosticLog& log);

    void post(TapLocation tap, const InputEvent& event) override;

private:
    void postKey(const KeyEvent& key);
    void postScroll(const ScrollEvent& scroll);

    std::unique_ptr<UinputDevices> devices_;
    InputEventWriter keyboard_;
    InputEventWriter wheel_;
    KeyTranslator keys_;
    HighResolutionAccumulator vertical_;
    HighResolutionAccumulator horizontal_;
};
