#pragma once

#include <QString>

#include <optional>

// What rtkit offers on this machine.
struct RtkitLimits
{
    int maxRealtimePriority = 0;
    int minNiceLevel = 0;
    qint64 rtTimeUSecMax = 0;
};

// The ways a thread can get ahead of busy programs, in the order they are
// tried. Each returns an error text, empty on success.
class SchedulingMeans
{
public:
    virtual ~SchedulingMeans() = default;
    virtual QString setRealtimeDirectly(int priority) = 0;
    virtual QString setNiceDirectly(int niceLevel) = 0;
    virtual std::optional<RtkitLimits> rtkitLimits(QString& error) = 0;
    // A guard against a runaway real-time thread; rtkit insists on it.
    virtual QString limitRealtimeRun(qint64 microseconds) = 0;
    virtual QString rtkitRealtime(int priority) = 0;
    virtual QString rtkitHighPriority(int niceLevel) = 0;
};

struct SchedulingWish
{
    // Above ordinary programs, below what audio servers ask for.
    int realtimePriority = 10;
    int niceLevel = -15;
    // A real-time thread gets no more than this without blocking.
    qint64 realtimeRunMicroseconds = 200'000;
};

// How real time was granted, so that it can be asked for again.
struct RealtimeGrant
{
    bool throughRtkit = false;
    int priority = 0;
    qint64 runMicroseconds = 0; // the hard limit; the kernel warns at half of it
};

struct SchedulingOutcome
{
    // "Scheduling: real-time (rtkit, priority 10)", "Scheduling: normal
    // (rtkit not available)", ...
    QString line;
    std::optional<RealtimeGrant> realtime;
};

// Asks for the most that is allowed and says what was granted.
SchedulingOutcome requestScheduling(SchedulingMeans& means, const SchedulingWish& wish = {});

// Real time again, the way it was granted before; an error text, empty on success.
QString requestRealtimeAgain(SchedulingMeans& means, const RealtimeGrant& grant);

// For a thread that must never run at real time (one that paints a window):
// a high priority directly, else through rtkit.
QString requestHighPriority(SchedulingMeans& means, const SchedulingWish& wish = {});
