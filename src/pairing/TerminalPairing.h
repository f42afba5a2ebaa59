#pragma once

#include "common/DiagnosticLog.h"

#include <QString>

#include <optional>

// Without a window, the pairing address and the code of the controller page
// with its pairing secret go to the terminal, where a phone camera reads it.
void printPairing(DiagnosticLog& log, const std::optional<QString>& address, QByteArrayView secret);
