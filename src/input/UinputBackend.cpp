#include "input/UinputBackend.h"

UinputBackend::UinputBackend(std::unique_ptr<UinputDevices> devices, DiagnosticLog& log)
    : UinputBackend(devices->keyboardFd(), devices->wheelFd(), log)
{
    devices_ = std::move(devices);
}

UinputBackend::UinputBackend(int keyboardFd, int wheelFd, DiagnosticLog& log)
    : keyboard_(keyboardFd, QStringLiteral("virtual keyboard"), log),
      wheel_(wheelFd, QStringLiteral("virtual wheel"), log)
{}

void UinputBackend::post(const InputEvent& event)
{
    if (const auto* key = std::get_if<KeyEvent>(&event))
        keyboard_.writeFrame({{EV_KEY, key->code, key->keyDown ? 1 : 0}});
    else if (const auto* scroll = std::get_if<ScrollEvent>(&event))
        postScroll(*scroll);
    else if (const auto* motion = std::get_if<PointerMotionEvent>(&event))
        postMotion(*motion);
    else if (const auto* button = std::get_if<PointerButtonEvent>(&event))
        wheel_.writeFrame({{EV_KEY, button->button, button->pressed ? 1 : 0}});
}

void UinputBackend::postScroll(const ScrollEvent& scroll)
{
    // Pixels > 0 scroll up and left; evdev's horizontal wheel counts rightward.
    const HighResolutionAccumulator::Step up = vertical_.add(scroll.vertical);
    const HighResolutionAccumulator::Step right =
        horizontal_.add(-clampScrollPixels(scroll.horizontal));
    QList<InputEventWriter::Event> frame;
    if (up.highResolution != 0)
        frame.append({EV_REL, REL_WHEEL_HI_RES, up.highResolution});
    if (up.detents != 0)
        frame.append({EV_REL, REL_WHEEL, up.detents});
    if (right.highResolution != 0)
        frame.append({EV_REL, REL_HWHEEL_HI_RES, right.highResolution});
    if (right.detents != 0)
        frame.append({EV_REL, REL_HWHEEL, right.detents});
    wheel_.writeFrame(frame);
}

void UinputBackend::postMotion(const PointerMotionEvent& motion)
{
    QList<InputEventWriter::Event> frame;
    if (motion.x != 0)
        frame.append({EV_REL, REL_X, motion.x});
    if (motion.y != 0)
        frame.append({EV_REL, REL_Y, motion.y});
    wheel_.writeFrame(frame);
}
