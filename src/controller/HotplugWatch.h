#pragma once

#include <QObject>

#include <memory>

// Tells when input devices come or go, and stays asleep otherwise, so that
// nothing needs to poll for controllers while none is plugged in.
class HotplugWatch : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    void devicesChanged();
};

// The system's watch: udev's announcements where udev runs, the kernel's
// otherwise. Null, with `error` set, when neither can be read.
std::unique_ptr<HotplugWatch> watchInputHotplug(QString& error);
