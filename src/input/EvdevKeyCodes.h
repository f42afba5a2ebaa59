#pragma once

#include "common/DiagnosticLog.h"
#include "input/KeyMap.h"

#include <QList>
#include <QSet>

#include <optional>

// The program's key codes name positions on an ANSI keyboard. Linux names the
// same positions with evdev codes, whatever the layout, so W, A, S and D stay
// a cluster on AZERTY too. X servers number keys as the evdev code plus 8.
std::optional<quint16> evdevKeyCode(AnsiKeyCode code);

// Every evdev code the table can produce: what a virtual keyboard declares.
QList<quint16> allEvdevKeyCodes();

// Translates, and says once per code when a code names no key.
class KeyTranslator
{
public:
    explicit KeyTranslator(DiagnosticLog& log);
    std::optional<quint16> toEvdev(AnsiKeyCode code);

private:
    DiagnosticLog& log_;
    QSet<AnsiKeyCode> reported_;
};
