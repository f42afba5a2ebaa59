#pragma once

#include "common/DiagnosticLog.h"

// Without a display: the server, the controller bridge and the pairing code
// in the terminal, with every status printed as it changes.
int runHeadless(int argc, char* argv[], DiagnosticLog& log);
