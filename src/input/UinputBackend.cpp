#include "input/UinputBackend.h"

UinputBackend::UinputBackend(std::unique_ptr<UinputDevices> devices, DiagnosticLog& log)
    : UinputBackend(devices->keyboardFd(), devices->wheelFd(), log)
{
    devices_ = std::move(devices);
}

UinputBackend::UinputBackend(int keyboardFd, int wheelFd, DiagnosticLog& log)
    : keyboard_(keyboardFd, QStringLiteral("virtual keyboard"), log),
      wheel_(wheelFd, QStringLiteral("virtual wheel"), log), keys_(log)
{}

void UinputBackend::post(TapLocation, const InputEvent& event)
{
    if (const auto* key = std::get_if<KeyEvent>(&event))
        postKey(*key);
    else
        postScroll(std::get<ScrollEvent>(event));
}

void UinputBackend::postKey(const KeyEvent& key)
{
    if (const std::optional<quint16> code = keys_.toEvdev(key.code))
        keyboard_.writeFrame({{EV_KEY, *code, key.keyDown ? 1 : 0}});
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
