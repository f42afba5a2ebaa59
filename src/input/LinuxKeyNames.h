#pragma once

#include <QList>
#include <QString>

#include <optional>

// The kernel's key names, lower case and without "KEY_": "esc", "leftshift",
// "f5", "1", "kpenter". Every backend takes the evdev codes they stand for.
std::optional<quint16> linuxKeyCode(const QString& name);

// The code's first name in the kernel's header; empty for a code without one.
QString linuxKeyName(quint16 code);

// Each named code once: what a virtual keyboard declares.
QList<quint16> allLinuxKeyCodes();
