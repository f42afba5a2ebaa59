#include "gamepad/UinputPad.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/uinput.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

QString padName(int player)
{
    return QStringLiteral("Kestrelio pad %1").arg(player);
}

LibevdevPtr describePad(int player)
{
    LibevdevPtr device(libevdev_new());
    libevdev_set_name(device.get(), padName(player).toUtf8().constData());
    libevdev_set_id_bustype(device.get(), BUS_USB);
    libevdev_set_id_vendor(device.get(), 0x045e);
    libevdev_set_id_product(device.get(), 0x028e);
    libevdev_set_id_version(device.get(), 0x0110);
    libevdev_enable_event_type(device.get(), EV_SYN);
    libevdev_enable_event_type(device.get(), EV_KEY);
    for (const unsigned button : {BTN_SOUTH, BTN_EAST, BTN_NORTH, BTN_WEST, BTN_TL, BTN_TR,
                                  BTN_SELECT, BTN_START, BTN_MODE, BTN_THUMBL, BTN_THUMBR})
        libevdev_enable_event_code(device.get(), EV_KEY, button, nullptr);
    libevdev_enable_event_type(device.get(), EV_ABS);
    const input_absinfo stick{0, -32768, 32767, 16, 128, 0};
    for (const unsigned axis : {ABS_X, ABS_Y, ABS_RX, ABS_RY})
        libevdev_enable_event_code(device.get(), EV_ABS, axis, &stick);
    const input_absinfo trigger{0, 0, 255, 0, 0, 0};
    for (const unsigned axis : {ABS_Z, ABS_RZ})
        libevdev_enable_event_code(device.get(), EV_ABS, axis, &trigger);
    const input_absinfo hat{0, -1, 1, 0, 0, 0};
    for (const unsigned axis : {ABS_HAT0X, ABS_HAT0Y})
        libevdev_enable_event_code(device.get(), EV_ABS, axis, &hat);
    // libevdev gives a device with EV_FF room for 10 effects (ff_effects_max).
    libevdev_enable_event_type(device.get(), EV_FF);
    libevdev_enable_event_code(device.get(), EV_FF, FF_RUMBLE, nullptr);
    return device;
}

std::unique_ptr<UinputPad> UinputPad::create(int player, DiagnosticLog& log, QString& error)
{
    libevdev_uinput* device = nullptr;
    const int result = libevdev_uinput_create_from_device(describePad(player).get(),
                                                          LIBEVDEV_UINPUT_OPEN_MANAGED, &device);
    if (result != 0) {
        error = QStringLiteral("/dev/uinput: ") + QString::fromLocal8Bit(std::strerror(-result));
        return nullptr;
    }
    const int stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (stopFd < 0) {
        error = QStringLiteral("eventfd: ") + QString::fromLocal8Bit(std::strerror(errno));
        libevdev_uinput_destroy(device);
        return nullptr;
    }
    return std::unique_ptr<UinputPad>(new UinputPad(device, stopFd, player, log));
}

UinputPad::UinputPad(libevdev_uinput* device, int stopFd, int player, DiagnosticLog& log)
    : device_(device), writer_(libevdev_uinput_get_fd(device), padName(player), log),
      stopFd_(stopFd)
{
    const int fd = libevdev_uinput_get_fd(device_);
    // Read only what is there, so that a stop is noticed at once.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    requests_ = std::thread(&UinputPad::serviceRequests, this, fd);
}

UinputPad::~UinputPad()
{
    const quint64 stop = 1;
    (void)!::write(stopFd_, &stop, sizeof stop);
    requests_.join();
    ::close(stopFd_);
    libevdev_uinput_destroy(device_);
}

void UinputPad::writeFrame(const QList<InputEventWriter::Event>& events)
{
    writer_.writeFrame(events);
}

void UinputPad::serviceRequests(int fd)
{
    pollfd watched[] = {{fd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (watched[1].revents != 0 || (watched[0].revents & (POLLERR | POLLHUP | POLLNVAL)))
            return;
        input_event event;
        while (::read(fd, &event, sizeof event) == ssize_t(sizeof event))
            handleRequest(fd, event);
    }
}

void UinputPad::handleRequest(int fd, const input_event& event)
{
    if (event.type == EV_UINPUT && event.code == UI_FF_UPLOAD) {
        uinput_ff_upload upload{};
        upload.request_id = quint32(event.value);
        if (::ioctl(fd, UI_BEGIN_FF_UPLOAD, &upload) != 0)
            return;
        upload.retval = effects_.upload(upload.effect);
        ::ioctl(fd, UI_END_FF_UPLOAD, &upload);
    } else if (event.type == EV_UINPUT && event.code == UI_FF_ERASE) {
        uinput_ff_erase erase{};
        erase.request_id = quint32(event.value);
        if (::ioctl(fd, UI_BEGIN_FF_ERASE, &erase) != 0)
            return;
        effects_.erase(int(erase.effect_id));
        erase.retval = 0;
        ::ioctl(fd, UI_END_FF_ERASE, &erase);
    } else if (event.type == EV_FF) {
        if (const std::optional<Rumble> played = effects_.play(event.code, event.value))
            QMetaObject::invokeMethod(
                this,
                [this, played] { emit rumble(played->strong, played->weak, played->milliseconds); },
                Qt::QueuedConnection);
    }
}

std::unique_ptr<PadDevice> UinputPadFactory::create(int player, DiagnosticLog& log, QString& error)
{
    return UinputPad::create(player, log, error);
}
