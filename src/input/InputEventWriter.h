#pragma once

#include "common/DiagnosticLog.h"

#include <QList>

#include <linux/input.h>

// Writes input events, each frame closed by its SYN_REPORT, as the kernel's
// struct input_event to a file descriptor: a uinput device's, or a pipe.
class InputEventWriter
{
public:
    struct Event
    {
        quint16 type;
        quint16 code;
        qint32 value;
    };

    InputEventWriter(int fd, QString deviceName, DiagnosticLog& log);

    void writeFrame(const QList<Event>& events);

private:
    int fd_;
    QString deviceName_;
    DiagnosticLog& log_;
    bool failureReported_ = false;
};
