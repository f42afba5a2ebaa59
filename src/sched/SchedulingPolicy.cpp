#include "sched/SchedulingPolicy.h"

#include <algorithm>

SchedulingOutcome requestScheduling(SchedulingMeans& means, const SchedulingWish& wish)
{
    if (means.limitRealtimeRun(wish.realtimeRunMicroseconds).isEmpty() &&
        means.setRealtimeDirectly(wish.realtimePriority).isEmpty())
        return {QStringLiteral("Scheduling: real-time (SCHED_FIFO, priority %1)")
                    .arg(wish.realtimePriority),
                RealtimeGrant{false, wish.realtimePriority, wish.realtimeRunMicroseconds}};

    QString error;
    const std::optional<RtkitLimits> limits = means.rtkitLimits(error);
    if (!limits)
        return {QStringLiteral("Scheduling: normal (rtkit not available: %1)").arg(error), {}};

    const int priority = std::min(wish.realtimePriority, limits->maxRealtimePriority);
    if (priority > 0) {
        const qint64 run = std::min(wish.realtimeRunMicroseconds, limits->rtTimeUSecMax);
        error = means.limitRealtimeRun(run);
        if (error.isEmpty())
            error = means.rtkitRealtime(priority);
        if (error.isEmpty())
            return {QStringLiteral("Scheduling: real-time (rtkit, priority %1)").arg(priority),
                    RealtimeGrant{true, priority, run}};
    }
    const int nice = std::max(wish.niceLevel, limits->minNiceLevel);
    if (nice < 0) {
        const QString niceError = means.rtkitHighPriority(nice);
        if (niceError.isEmpty())
            return {QStringLiteral("Scheduling: high priority (rtkit, nice %1)").arg(nice), {}};
        error = niceError;
    }
    if (error.isEmpty())
        return {QStringLiteral("Scheduling: normal (rtkit offers no priority)"), {}};
    return {QStringLiteral("Scheduling: normal (rtkit refused: %1)").arg(error), {}};
}

QString requestRealtimeAgain(SchedulingMeans& means, const RealtimeGrant& grant)
{
    // The kernel raised the warning limit when it fired; start afresh.
    QString error = means.limitRealtimeRun(grant.runMicroseconds);
    if (error.isEmpty())
        error = grant.throughRtkit ? means.rtkitRealtime(grant.priority)
                                   : means.setRealtimeDirectly(grant.priority);
    return error;
}

QString requestHighPriority(SchedulingMeans& means, const SchedulingWish& wish)
{
    if (means.setNiceDirectly(wish.niceLevel).isEmpty())
        return QStringLiteral("Scheduling: high priority (nice %1)").arg(wish.niceLevel);
    QString error;
    const std::optional<RtkitLimits> limits = means.rtkitLimits(error);
    if (!limits)
        return QStringLiteral("Scheduling: normal (rtkit not available: %1)").arg(error);
    const int nice = std::max(wish.niceLevel, limits->minNiceLevel);
    if (nice >= 0)
        return QStringLiteral("Scheduling: normal (rtkit offers no priority)");
    error = means.rtkitHighPriority(nice);
    if (error.isEmpty())
        return QStringLiteral("Scheduling: high priority (rtkit, nice %1)").arg(nice);
    return QStringLiteral("Scheduling: normal (rtkit refused: %1)").arg(error);
}
