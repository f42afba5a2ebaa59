#pragma once

#include "common/DiagnosticLog.h"
#include "input/EventLayer.h"
#include "input/KeyMap.h"

#include <QHash>
#include <QList>
#include <QSet>

enum class KeyAction
{
    Press,
    Release,
};

// Turns key names into key-down and key-up events. A key that is down is not
// pressed again and a key that is up is not released again; names that share
// a code share its state.
class KeySynthesizer
{
public:
    KeySynthesizer(EventLayer& events, DiagnosticLog& log);

    // Returns the code whose state this call changed, so that callers can track
    // who holds which key; none for an unknown name or a filtered event.
    std::optional<AnsiKeyCode> simulateKey(const QString& name, KeyAction action);

    // Releases those of `codes` that are still down, in the order they went down.
    void releaseKeys(const QSet<AnsiKeyCode>& codes);
    void releaseAllKeys();

    const QHash<AnsiKeyCode, bool>& keyStates() const { return keyStates_; }

private:
    bool pressKey(AnsiKeyCode code, const std::optional<EventSource>& source);
    bool releaseKey(AnsiKeyCode code, const std::optional<EventSource>& source);
    void post(AnsiKeyCode code, bool keyDown, const std::optional<EventSource>& source);

    EventLayer& events_;
    DiagnosticLog& log_;
    const KeyMap& keyMap_ = namedKeys();
    QHash<AnsiKeyCode, bool> keyStates_;
    QList<AnsiKeyCode> downInPressOrder_;
};
