#include "input/UinputDevices.h"

#include "input/LinuxKeyNames.h"

#include <cstring>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

void LibevdevDeleter::operator()(libevdev* device) const
{
    libevdev_free(device);
}

namespace {

LibevdevPtr describeDevice(const char* name)
{
    LibevdevPtr device(libevdev_new());
    libevdev_set_name(device.get(), name);
    libevdev_set_id_bustype(device.get(), BUS_VIRTUAL);
    libevdev_set_id_vendor(device.get(), 0x4b45); // "KE"
    libevdev_enable_event_type(device.get(), EV_SYN);
    return device;
}

} // namespace

LibevdevPtr describeKeyboard()
{
    LibevdevPtr device = describeDevice("Kestrelio virtual keyboard");
    libevdev_set_id_product(device.get(), 1);
    libevdev_enable_event_type(device.get(), EV_KEY);
    for (const quint16 code : allLinuxKeyCodes())
        libevdev_enable_event_code(device.get(), EV_KEY, code, nullptr);
    return device;
}

LibevdevPtr describeWheel()
{
    LibevdevPtr device = describeDevice("Kestrelio virtual wheel");
    libevdev_set_id_product(device.get(), 2);
    libevdev_enable_property(device.get(), INPUT_PROP_POINTER);
    libevdev_enable_event_type(device.get(), EV_REL);
    for (const unsigned axis :
         {REL_X, REL_Y, REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES})
        libevdev_enable_event_code(device.get(), EV_REL, axis, nullptr);
    libevdev_enable_event_type(device.get(), EV_KEY);
    for (const unsigned button : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE})
        libevdev_enable_event_code(device.get(), EV_KEY, button, nullptr);
    return device;
}

std::unique_ptr<UinputDevices> UinputDevices::create(QString& error)
{
    libevdev_uinput* keyboard = nullptr;
    libevdev_uinput* wheel = nullptr;
    int result = libevdev_uinput_create_from_device(describeKeyboard().get(),
                                                    LIBEVDEV_UINPUT_OPEN_MANAGED, &keyboard);
    if (result == 0) {
        result = libevdev_uinput_create_from_device(describeWheel().get(),
                                                    LIBEVDEV_UINPUT_OPEN_MANAGED, &wheel);
        if (result != 0)
            libevdev_uinput_destroy(keyboard);
    }
    if (result != 0) {
        error = QStringLiteral("/dev/uinput: ") + QString::fromLocal8Bit(std::strerror(-result));
        return nullptr;
    }
    return std::unique_ptr<UinputDevices>(new UinputDevices(keyboard, wheel));
}

UinputDevices::UinputDevices(libevdev_uinput* keyboard, libevdev_uinput* wheel)
    : keyboard_(keyboard), wheel_(wheel)
{}

UinputDevices::~UinputDevices()
{
    libevdev_uinput_destroy(wheel_);
    libevdev_uinput_destroy(keyboard_);
}

int UinputDevices::keyboardFd() const
{
    return libevdev_uinput_get_fd(keyboard_);
}

int UinputDevices::wheelFd() const
{
    return libevdev_uinput_get_fd(wheel_);
}
