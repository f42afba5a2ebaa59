#pragma once

#include "common/DiagnosticLog.h"

#include <QString>

#include <optional>

// Without a window, the pairing address and its QR code go to the terminal,
// where a phone camera can read the code.
void printPairing(DiagnosticLog& log, const std::optional<QString>& address);
