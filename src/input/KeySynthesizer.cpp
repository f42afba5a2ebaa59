#include "input/KeySynthesizer.h"

namespace {

// Names come from the network; a line stays readable.
constexpr qsizetype kLongestKeyNameShown = 64;

} // namespace

KeySynthesizer::KeySynthesizer(EventLayer& events, DiagnosticLog& log) : events_(events), log_(log)
{}

std::optional<AnsiKeyCode> KeySynthesizer::simulateKey(const QString& name, KeyAction action)
{
    const std::optional<EventSource> source = events_.createSource();
    const std::optional<AnsiKeyCode> code = source ? resolveKeyCode(keyMap_, name) : std::nullopt;
    if (!code) {
        log_.writeLine(QStringLiteral("Invalid key: ") + shortened(name, kLongestKeyNameShown));
        return std::nullopt;
    }
    const bool changed =
        action == KeyAction::Press ? pressKey(*code, source) : releaseKey(*code, source);
    return changed ? code : std::nullopt;
}

void KeySynthesizer::releaseKeys(const QSet<AnsiKeyCode>& codes)
{
    const QList<AnsiKeyCode> down = downInPressOrder_;
    for (const AnsiKeyCode code : down) {
        if (codes.contains(code))
            releaseKey(code, events_.createSource());
    }
}

void KeySynthesizer::releaseAllKeys()
{
    const QList<AnsiKeyCode> down = downInPressOrder_;
    for (const AnsiKeyCode code : down)
        releaseKey(code, events_.createSource());
}

bool KeySynthesizer::pressKey(AnsiKeyCode code, const std::optional<EventSource>& source)
{
    if (keyStates_.value(code, false))
        return false;
    post(code, true, source);
    keyStates_.insert(code, true);
    downInPressOrder_.append(code);
    log_.writeLine(QStringLiteral("key pressed : ") + QString::number(code));
    return true;
}

bool KeySynthesizer::releaseKey(AnsiKeyCode code, const std::optional<EventSource>& source)
{
    if (const auto it = keyStates_.constFind(code); it != keyStates_.constEnd() && !*it)
        return false;
    post(code, false, source);
    keyStates_.insert(code, false);
    downInPressOrder_.removeOne(code);
    log_.writeLine(QStringLiteral("key released : ") + QString::number(code));
    return true;
}

void KeySynthesizer::post(AnsiKeyCode code, bool keyDown, const std::optional<EventSource>& source)
{
    if (const std::optional<KeyEvent> event = events_.createKeyEvent(source, code, keyDown))
        events_.post(TapLocation::AnnotatedSession, *event);
}
