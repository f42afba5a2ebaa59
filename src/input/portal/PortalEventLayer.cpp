#include "input/portal/PortalEventLayer.h"

PortalEventLayer::PortalEventLayer(RemoteInputSink& sink, DiagnosticLog& log)
    : sink_(sink), keys_(log)
{}

void PortalEventLayer::post(TapLocation, const InputEvent& event)
{
    if (const auto* key = std::get_if<KeyEvent>(&event)) {
        if (const std::optional<quint16> code = keys_.toEvdev(key->code))
            sink_.notifyKey(*code, key->keyDown);
        return;
    }
    // Pixels > 0 scroll up and left; the portal counts down and right.
    const ScrollEvent& scroll = std::get<ScrollEvent>(event);
    if (const qint32 up = up_.add(scroll.vertical))
        sink_.notifyAxis(0, -up);
    if (const qint32 left = left_.add(scroll.horizontal))
        sink_.notifyAxis(1, -left);
}
