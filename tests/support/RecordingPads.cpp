#include "RecordingPads.h"

#include <libevdev/libevdev.h>

void RecordingPad::writeFrame(const QList<InputEventWriter::Event>& events)
{
    if (events.isEmpty())
        return;
    QString line = QStringLiteral("pad %1:").arg(player_);
    for (const InputEventWriter::Event& event : events)
        line += QStringLiteral(" %1 %2")
                    .arg(QLatin1String(libevdev_event_code_get_name(event.type, event.code)))
                    .arg(event.value);
    log_.writeLine(line);
}

std::unique_ptr<PadDevice> RecordingPadFactory::create(int player, DiagnosticLog& log,
                                                       QString& error)
{
    if (!failure.isEmpty()) {
        error = failure;
        return nullptr;
    }
    auto pad = std::make_unique<RecordingPad>(player, log);
    pads.append(pad.get());
    return pad;
}
