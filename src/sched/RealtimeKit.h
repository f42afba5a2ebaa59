#pragma once

#include "sched/SchedulingPolicy.h"

#include <sys/types.h>

// rtkit (org.freedesktop.RealtimeKit1 on the system bus), which grants real
// time or a high priority to a user's threads within limits of its own. Each
// call gives up after a moment, so a missing or hung rtkit never holds up
// start-up.
class RealtimeKit
{
public:
    std::optional<RtkitLimits> limits(QString& error) const;
    // Error texts, empty on success.
    QString makeThreadRealtime(pid_t thread, int priority) const;
    QString makeThreadHighPriority(pid_t thread, int niceLevel) const;

    static constexpr int kTimeoutMs = 200;
};
