#pragma once

#include "common/DiagnosticLog.h"
#include "input/EventLayer.h"

#include <QString>

#include <memory>

// The layer that input goes out through. When no backend works, `layer`
// accepts events and drops them, and `problem` says in a sentence why and
// where to read about the fix.
struct InputBackend
{
    std::unique_ptr<EventLayer> layer;
    QString name;
    QString problem;

    // What the user is told about key presses: the problem, or the backend at work.
    QString summary() const { return problem.isEmpty() ? name : problem; }
};

// Tries uinput, then XTest on $DISPLAY, once at start-up, and prints which one
// works or, when none does, that input cannot be sent and how to allow it.
InputBackend chooseInputBackend(DiagnosticLog& log);
