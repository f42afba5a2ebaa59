#include "sched/ThreadPriority.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace {

// The one real-time thread, for the handler of the soft limit.
std::atomic<pid_t> realtimeThread{0};
std::atomic<bool> realtimeSuspended{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void dropToNormal(int)
{
    const int savedErrno = errno;
    const sched_param normal{};
    ::sched_setscheduler(realtimeThread.load(), SCHED_OTHER | SCHED_RESET_ON_FORK, &normal);
    realtimeSuspended.store(true);
    errno = savedErrno;
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

pid_t callingThreadId()
{
    return ::gettid();
}

QString setCallingThreadRealtime(int priority)
{
    const sched_param param{.sched_priority = priority};
    if (::sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) != 0)
        return errorText(errno);
    return {};
}

QString setCallingThreadNice(int niceLevel)
{
    // On Linux a "process" priority of a thread id is that thread's own.
    if (::setpriority(PRIO_PROCESS, id_t(callingThreadId()), niceLevel) != 0)
        return errorText(errno);
    return {};
}

QString limitRealtimeRun(qint64 microseconds)
{
    realtimeThread.store(callingThreadId());
    struct sigaction action
    {};
    action.sa_handler = dropToNormal;
    ::sigaction(SIGXCPU, &action, nullptr);
    const rlimit limit{.rlim_cur = rlim_t(microseconds / 2), .rlim_max = rlim_t(microseconds)};
    if (::setrlimit(RLIMIT_RTTIME, &limit) != 0)
        return errorText(errno);
    return {};
}

bool takeRealtimeSuspension()
{
    return realtimeSuspended.exchange(false);
}

ThreadRun callingThreadRun()
{
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    const auto micros = [](const timeval& time) {
        return qint64(time.tv_sec) * 1'000'000 + time.tv_usec;
    };
    return {micros(usage.ru_utime) + micros(usage.ru_stime), usage.ru_nvcsw};
}

void pauseCallingThread(std::chrono::microseconds duration)
{
    timespec remaining{.tv_sec = time_t(duration.count() / 1'000'000),
                       .tv_nsec = long(duration.count() % 1'000'000) * 1000};
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
