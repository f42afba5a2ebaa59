#pragma once

#include <QString>

#include <chrono>
#include <sys/types.h>

// The kernel's id of the calling thread, as rtkit and /proc name it.
pid_t callingThreadId();

// SCHED_FIFO for the calling thread, not inherited by children. An error
// text, empty on success.
QString setCallingThreadRealtime(int priority);

// A nice level for the calling thread alone. An error text, empty on success.
QString setCallingThreadNice(int niceLevel);

// Caps how long the calling thread, once real-time, may run without blocking:
// past half of `microseconds` it drops back to normal scheduling
// rather than starve the desktop; the kernel kills the process at the full
// amount. An error text, empty on success.
QString limitRealtimeRun(qint64 microseconds);

// Whether the limit above dropped the thread to normal scheduling since the
// last call.
bool takeRealtimeSuspension();

// How much the calling thread has run, and how often it has waited.
struct ThreadRun
{
    qint64 cpuMicroseconds = 0;
    long waits = 0; // voluntary context switches
};
ThreadRun callingThreadRun();

// Sleeps, which also restarts the kernel's count of the run without a pause.
void pauseCallingThread(std::chrono::microseconds duration);
