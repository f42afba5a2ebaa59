#pragma once

#include "common/DiagnosticLog.h"
#include "input/EventLayer.h"

#include <QString>

#include <memory>

class ActiveInputLayer;

// The layer that input goes out through. When no backend works, `layer`
// accepts events and drops them, and `problem` says in a sentence why and
// where to read about the fix.
struct InputBackend
{
    std::unique_ptr<EventLayer> layer;
    QString name;
    QString problem;
    // The problem in one short sentence for a phone, which cannot act on the details.
    QString offReason;

    // What the user is told about key presses: the problem, or the backend at work.
    QString summary() const { return problem.isEmpty() ? name : problem; }
};

// XDG_SESSION_TYPE is wayland, or WAYLAND_DISPLAY is set.
bool isWaylandSession();

// Tries uinput; in a Wayland session the desktop's RemoteDesktop portal, whose
// answer comes later and may change the layer; then XTest on $DISPLAY. Prints
// which one works or, when none does, that input cannot be sent and how to
// allow it.
void chooseInputBackend(ActiveInputLayer& active, DiagnosticLog& log);
