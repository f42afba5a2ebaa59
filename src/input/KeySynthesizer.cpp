#include "input/KeySynthesizer.h"

namespace {

// Names come from the network; a line stays readable.
constexpr qsizetype kLongestKeyNameShown = 64;

} // namespace

KeySynthesizer::KeySynthesizer(EventLayer& events, DiagnosticLog& log) : events_(events), log_(log)
{}

std::optional<EvdevCode> KeySynthesizer::simulateKey(const QString& name, KeyAction action)
{
    const std::optional<EvdevCode> code = resolveKeyCode(name);
    if (!code) {
        log_.writeLine(QStringLiteral("Invalid key: ") + shortened(name, kLongestKeyNameShown));
        return std::nullopt;
    }
    const bool changed = action == KeyAction::Press ? pressKey(*code) : releaseKey(*code);
    return changed ? code : std::nullopt;
}

void KeySynthesizer::releaseKeys(const QSet<EvdevCode>& codes)
{
    const QList<EvdevCode> down = downInPressOrder_;
    for (const EvdevCode code : down) {
        if (codes.contains(code))
            releaseKey(code);
    }
}

void KeySynthesizer::releaseAllKeys()
{
    const QList<EvdevCode> down = downInPressOrder_;
    for (const EvdevCode code : down)
        releaseKey(code);
}

bool KeySynthesizer::pressKey(EvdevCode code)
{
    if (keyStates_.value(code, false))
        return false;
    post(code, true);
    keyStates_.insert(code, true);
    downInPressOrder_.append(code);
    return true;
}

bool KeySynthesizer::releaseKey(EvdevCode code)
{
    if (const auto it = keyStates_.constFind(code); it != keyStates_.constEnd() && !*it)
        return false;
    post(code, false);
    keyStates_.insert(code, false);
    downInPressOrder_.removeOne(code);
    return true;
}

void KeySynthesizer::post(EvdevCode code, bool down)
{
    const bool button = isPointerButton(code);
    if (button)
        events_.post(PointerButtonEvent{code, down});
    else
        events_.post(KeyEvent{code, down});
    log_.writeLine((button ? QStringLiteral("button ") : QStringLiteral("key ")) +
                   (down ? QStringLiteral("pressed : ") : QStringLiteral("released : ")) +
                   printedKeyCode(code));
}
