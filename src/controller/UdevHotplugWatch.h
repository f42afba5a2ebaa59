#pragma once

#include "controller/HotplugWatch.h"

#include <QSocketNotifier>

struct udev;
struct udev_monitor;

// A libudev monitor of the input subsystem on a socket notifier.
class UdevHotplugWatch final : public HotplugWatch
{
    Q_OBJECT
public:
    // `source` is "udev" (devices ready for use) or "kernel" (raw uevents,
    // for systems where no udev daemon runs).
    static std::unique_ptr<UdevHotplugWatch> create(const char* source, QString& error);
    ~UdevHotplugWatch() override;

private:
    UdevHotplugWatch(udev* context, udev_monitor* monitor);
    void drain();

    udev* context_;
    udev_monitor* monitor_;
    QSocketNotifier notifier_;
};
