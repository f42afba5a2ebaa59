#include "input/InputEventWriter.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

InputEventWriter::InputEventWriter(int fd, QString deviceName, DiagnosticLog& log)
    : fd_(fd), deviceName_(std::move(deviceName)), log_(log)
{}

void InputEventWriter::writeFrame(const QList<Event>& events)
{
    if (events.isEmpty())
        return;
    // One write per frame: the device takes it whole, and a reader never sees
    // half a frame.
    std::vector<input_event> frame(size_t(events.size()) + 1);
    for (qsizetype i = 0; i < events.size(); ++i) {
        frame[size_t(i)].type = events[i].type;
        frame[size_t(i)].code = events[i].code;
        frame[size_t(i)].value = events[i].value;
    }
    frame.back().type = EV_SYN;
    frame.back().code = SYN_REPORT;
    const size_t bytes = frame.size() * sizeof(input_event);
    ssize_t written;
    do {
        written = ::write(fd_, frame.data(), bytes);
    } while (written < 0 && errno == EINTR);
    if (written != ssize_t(bytes) && !failureReported_) {
        failureReported_ = true;
        log_.writeLine(QStringLiteral("Writing to the %1 failed: %2")
                           .arg(deviceName_, QString::fromLocal8Bit(std::strerror(errno))));
    }
}
