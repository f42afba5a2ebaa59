#pragma once

#include "gamepad/PadDevice.h"
#include "gamepad/RumbleEffects.h"
#include "input/UinputDevices.h"

#include <QSocketNotifier>

struct libevdev_uinput;

// What a pad declares: a wired Xbox 360 controller, so that SDL, Steam and
// games map it as one, with rumble. Game-pad buttons only (BTN_*): a device
// with keys among the first 32 codes would count as a keyboard.
LibevdevPtr describePad(int player);

// A pad made through /dev/uinput. It answers the kernel's force-feedback
// requests on the device's descriptor: a game's upload waits until it is
// answered.
class UinputPad final : public PadDevice
{
    Q_OBJECT
public:
    // Returns null, and why in `error`, when /dev/uinput cannot be used.
    static std::unique_ptr<UinputPad> create(int player, DiagnosticLog& log, QString& error);
    ~UinputPad() override;

    void writeFrame(const QList<InputEventWriter::Event>& events) override;

private:
    UinputPad(libevdev_uinput* device, int player, DiagnosticLog& log);
    void serviceRequests();

    libevdev_uinput* device_;
    InputEventWriter writer_;
    QSocketNotifier requests_;
    RumbleEffects effects_;
};

class UinputPadFactory final : public PadDeviceFactory
{
public:
    std::unique_ptr<PadDevice> create(int player, DiagnosticLog& log, QString& error) override;
};
