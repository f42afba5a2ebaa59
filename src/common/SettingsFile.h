#pragma once

#include "common/DiagnosticLog.h"

#include <QString>

// Settings hold token hashes and trusted addresses: only their owner may read
// them, and a file no settings could fill must not stall the start.
namespace SettingsFile {

constexpr qint64 kMaxBytes = 1024 * 1024;

// $XDG_CONFIG_HOME/kestrelio/kestrelio.conf, found without reading it.
QString path();

// Before anything reads the settings: narrows the folder to 0700 and the file
// to 0600 (creating them so), and moves a file over `kMaxBytes` aside.
void prepare(DiagnosticLog& log);

// Copies the file aside as "kestrelio.conf.bad-YYYYMMDD-HHMMSS", for the user
// to look into; returns the copy's path, empty when it could not be made.
QString keepBadCopy();

} // namespace SettingsFile
