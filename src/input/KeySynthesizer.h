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

// Turns key and mouse button names into press and release events. A key that
// is down is not pressed again and a key that is up is not released again;
// names that share a code share its state.
class KeySynthesizer
{
public:
    KeySynthesizer(EventLayer& events, DiagnosticLog& log);

    // Returns the code whose state this call changed, so that callers can track
    // who holds which key; none for an unknown name or a repeated event.
    std::optional<EvdevCode> simulateKey(const QString& name, KeyAction action);

    // Releases those of `codes` that are still down, in the order they went down.
    void releaseKeys(const QSet<EvdevCode>& codes);
    void releaseAllKeys();

    const QHash<EvdevCode, bool>& keyStates() const { return keyStates_; }

private:
    bool pressKey(EvdevCode code);
    bool releaseKey(EvdevCode code);
    void post(EvdevCode code, bool down);

    EventLayer& events_;
    DiagnosticLog& log_;
    QHash<EvdevCode, bool> keyStates_;
    QList<EvdevCode> downInPressOrder_;
};
