#pragma once

#include <QHash>
#include <QString>

#include <optional>

// Key codes name positions on an ANSI keyboard (the codes the phone clients
// were written against); each backend translates them to its own codes.
using AnsiKeyCode = quint16;
using KeyMap = QHash<QString, AnsiKeyCode>;

// The named controls a client may send: arrows, start, select and shoulders.
const KeyMap& namedKeys();

// The 26 lowercase Latin letters and the space character.
std::optional<AnsiKeyCode> keyCodeForCharacter(std::optional<QStringView> character);

// A name the map holds exactly wins; otherwise the name's first user-perceived
// character decides ("jump" is J, "space" is S).
std::optional<AnsiKeyCode> resolveKeyCode(const KeyMap& keyMap, const QString& name);

// Whether a layout may bind this name to a key: the name is typed as that key
// (pressed as NAME, released as -NAME).
bool isKeyName(const QString& name);

// The mouse buttons a client may press: btn_left, btn_right and btn_middle.
bool isPointerButtonName(const QString& name);
