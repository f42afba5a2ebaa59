#pragma once

#include <QString>

#include <optional>

// Keys and mouse buttons are named by their evdev codes, which every backend
// takes: uinput and the portal as they are, XTest plus 8.
using EvdevCode = quint16;

// What a client's name presses, the first rule that fits deciding:
// - the controls of the key page: up, down, left, right, start (Return),
//   select (Space), l1 (Q), l2 (R), r1 (E), r2 (T);
// - the mouse buttons btn_left, btn_right and btn_middle;
// - a Linux key name ("esc", "leftshift", "f5", "1", " " for Space);
// - the name's first user-perceived character, a letter or a space ("jump" is J).
std::optional<EvdevCode> resolveKeyCode(const QString& name);

bool isPointerButton(EvdevCode code);

// How a log line names a key. The keys the page's first names reach (arrows,
// Return, Space and the letters) keep the numbers of their ANSI keyboard
// positions, which users' scripts read; any other key is its kernel name,
// "KEY_LEFTSHIFT", and a mouse button "BTN_LEFT".
QString printedKeyCode(EvdevCode code);

// Whether a layout may bind this name to a key: the name is typed as that key
// (pressed as NAME, released as -NAME).
bool isKeyName(const QString& name);

// The mouse buttons a client may press: btn_left, btn_right and btn_middle.
bool isPointerButtonName(const QString& name);
