#pragma once

#include <QString>

// Asks, for the calling thread, for real time directly, else through rtkit,
// else a high priority through rtkit; returns the "Scheduling: ..." line.
QString requestSchedulingForCallingThread();

// For the thread that paints the window: a high priority, never real time.
QString requestHighPriorityForCallingThread();
