#pragma once

#include "common/DiagnosticLog.h"
#include "sched/RealtimeGuard.h"

#include <QString>

#include <memory>

// For the thread that serves: asks for real time directly, else through
// rtkit, else a high priority through rtkit, and prints the "Scheduling: ..."
// line. With real time granted, the returned guard keeps it through floods;
// it belongs to the calling thread, which must run an event loop.
std::unique_ptr<RealtimeGuard> scheduleCallingThread(DiagnosticLog& log);

// For the thread that paints the window: a high priority, never real time.
QString requestHighPriorityForCallingThread();
