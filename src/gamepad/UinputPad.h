#pragma once

#include "gamepad/PadDevice.h"
#include "gamepad/RumbleEffects.h"
#include "input/UinputDevices.h"

#include <thread>

struct libevdev_uinput;

// What a pad declares: a wired Xbox 360 controller, so that SDL, Steam and
// games map it as one, with rumble. Game-pad buttons only (BTN_*): a device
// with keys among the first 32 codes would count as a keyboard.
LibevdevPtr describePad(int player);

// A pad made through /dev/uinput. It answers the kernel's force-feedback
// requests on a thread of its own: a game's upload holds the pad's evdev lock
// until it is answered, and the main thread may be waiting for that very lock
// (SDL opens and closes each new input device, ours too), which would stall
// the whole program for the kernel's 30 s.
class UinputPad final : public PadDevice
{
    Q_OBJECT
public:
    // Returns null, and why in `error`, when /dev/uinput cannot be used.
    static std::unique_ptr<UinputPad> create(int player, DiagnosticLog& log, QString& error);
    ~UinputPad() override;

    void writeFrame(const QList<InputEventWriter::Event>& events) override;

private:
    UinputPad(libevdev_uinput* device, int stopFd, int player, DiagnosticLog& log);
    // The force-feedback thread: until stopFd_ is written to.
    void serviceRequests(int fd);
    void handleRequest(int fd, const input_event& event);

    libevdev_uinput* device_;
    InputEventWriter writer_;
    RumbleEffects effects_; // the force-feedback thread's alone
    int stopFd_;
    std::thread requests_;
};

class UinputPadFactory final : public PadDeviceFactory
{
public:
    std::unique_ptr<PadDevice> create(int player, DiagnosticLog& log, QString& error) override;
};
