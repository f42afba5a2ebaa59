#include "input/portal/PortalEventLayer.h"

PortalEventLayer::PortalEventLayer(RemoteInputSink& sink) : sink_(sink) {}

void PortalEventLayer::post(const InputEvent& event)
{
    if (const auto* key = std::get_if<KeyEvent>(&event))
        sink_.notifyKey(key->code, key->keyDown);
    else if (const auto* scroll = std::get_if<ScrollEvent>(&event))
        postScroll(*scroll);
    else if (const auto* motion = std::get_if<PointerMotionEvent>(&event))
        sink_.notifyMotion(motion->x, motion->y);
    else if (const auto* button = std::get_if<PointerButtonEvent>(&event))
        sink_.notifyButton(button->button, button->pressed);
}

void PortalEventLayer::postScroll(const ScrollEvent& scroll)
{
    // Pixels > 0 scroll up and left; the portal counts down and right.
    if (const qint32 up = up_.add(scroll.vertical))
        sink_.notifyAxis(0, -up);
    if (const qint32 left = left_.add(scroll.horizontal))
        sink_.notifyAxis(1, -left);
}
