#include "controller/UdevHotplugWatch.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <libudev.h>

std::unique_ptr<HotplugWatch> watchInputHotplug(QString& error)
{
    // Without the daemon nobody rebroadcasts the kernel's events as udev's.
    const bool udevRuns = QFileInfo(QStringLiteral("/run/udev/control")).exists();
    return UdevHotplugWatch::create(udevRuns ? "udev" : "kernel", error);
}

std::unique_ptr<UdevHotplugWatch> UdevHotplugWatch::create(const char* source, QString& error)
{
    udev* context = udev_new();
    udev_monitor* monitor = context ? udev_monitor_new_from_netlink(context, source) : nullptr;
    if (monitor &&
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "input", nullptr) >= 0 &&
        udev_monitor_enable_receiving(monitor) >= 0)
        return std::unique_ptr<UdevHotplugWatch>(new UdevHotplugWatch(context, monitor));
    error = QString::fromLocal8Bit(std::strerror(errno));
    if (monitor)
        udev_monitor_unref(monitor);
    if (context)
        udev_unref(context);
    return nullptr;
}

UdevHotplugWatch::UdevHotplugWatch(udev* context, udev_monitor* monitor)
    : context_(context), monitor_(monitor),
      notifier_(udev_monitor_get_fd(monitor), QSocketNotifier::Read)
{
    connect(&notifier_, &QSocketNotifier::activated, this, &UdevHotplugWatch::drain);
}

UdevHotplugWatch::~UdevHotplugWatch()
{
    notifier_.setEnabled(false);
    udev_monitor_unref(monitor_);
    udev_unref(context_);
}

void UdevHotplugWatch::drain()
{
    // A burst (a pad brings several nodes) is one change; the socket is
    // non-blocking, and what a bound leaves waits for the next turn.
    int received = 0;
    for (; received < 64; ++received) {
        udev_device* device = udev_monitor_receive_device(monitor_);
        if (!device)
            break;
        udev_device_unref(device);
    }
    if (received > 0)
        emit devicesChanged();
}
