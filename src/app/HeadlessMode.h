#pragma once

#include "common/DiagnosticLog.h"

// Without a display: the server, the controller bridge and the pairing code
// in the terminal, with every status printed as it changes. There is no one
// to ask about a new device: any local client is served, or with
// `pairedOnly` only this computer, paired browsers and trusted devices.
int runHeadless(int argc, char* argv[], DiagnosticLog& log, bool pairedOnly = false);
