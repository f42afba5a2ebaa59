#include "sched/ThreadScheduling.h"

#include "sched/RealtimeKit.h"
#include "sched/SchedulingPolicy.h"
#include "sched/ThreadPriority.h"

namespace {

class SystemMeans final : public SchedulingMeans
{
public:
    QString setRealtimeDirectly(int priority) override
    {
        return setCallingThreadRealtime(priority);
    }
    QString setNiceDirectly(int niceLevel) override { return setCallingThreadNice(niceLevel); }
    std::optional<RtkitLimits> rtkitLimits(QString& error) override { return rtkit_.limits(error); }
    QString limitRealtimeRun(qint64 microseconds) override
    {
        return ::limitRealtimeRun(microseconds);
    }
    QString rtkitRealtime(int priority) override
    {
        return rtkit_.makeThreadRealtime(callingThreadId(), priority);
    }
    QString rtkitHighPriority(int niceLevel) override
    {
        return rtkit_.makeThreadHighPriority(callingThreadId(), niceLevel);
    }

private:
    RealtimeKit rtkit_;
};

} // namespace

std::unique_ptr<RealtimeGuard> scheduleCallingThread(DiagnosticLog& log)
{
    SystemMeans means;
    const SchedulingOutcome outcome = requestScheduling(means);
    log.writeLine(outcome.line);
    if (!outcome.realtime)
        return nullptr;
    return std::make_unique<RealtimeGuard>(
        std::chrono::microseconds(outcome.realtime->runMicroseconds / 2),
        [grant = *outcome.realtime] {
            SystemMeans again;
            return requestRealtimeAgain(again, grant);
        },
        log);
}

QString requestHighPriorityForCallingThread()
{
    SystemMeans means;
    return requestHighPriority(means);
}
