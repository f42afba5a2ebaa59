#pragma once

#include <QString>

#include <memory>

struct libevdev;
struct libevdev_uinput;

struct LibevdevDeleter
{
    void operator()(libevdev* device) const;
};
using LibevdevPtr = std::unique_ptr<libevdev, LibevdevDeleter>;

// What the two virtual devices declare. The keyboard has every named key code
// and no BTN_* code: one and udev would take it for a joystick. The wheel has the axes
// and buttons libinput wants before it accepts a device as a pointer.
LibevdevPtr describeKeyboard();
LibevdevPtr describeWheel();

// The virtual keyboard and wheel, made through /dev/uinput and kept for the
// life of the process: events sent just after a device appears can be lost,
// so they are made at start-up rather than on the first event.
class UinputDevices
{
public:
    // Returns null, and why in `error`, when /dev/uinput cannot be used.
    static std::unique_ptr<UinputDevices> create(QString& error);
    ~UinputDevices();

    int keyboardFd() const;
    int wheelFd() const;

private:
    UinputDevices(libevdev_uinput* keyboard, libevdev_uinput* wheel);

    libevdev_uinput* keyboard_;
    libevdev_uinput* wheel_;
};
