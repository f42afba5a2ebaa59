#include "sched/RealtimeGuard.h"

#include "sched/ThreadPriority.h"

#include <QAbstractEventDispatcher>
#include <QThread>

namespace {

// Looking costs a system call; a flood turns the loop far more often.
constexpr std::chrono::milliseconds kLookInterval{2};

} // namespace

RealtimeGuard::RealtimeGuard(std::chrono::microseconds warnAfter,
                             std::function<QString()> requestAgain, DiagnosticLog& log,
                             Settings settings, QObject* parent)
    : QObject(parent), warnAfter_(warnAfter), requestAgain_(std::move(requestAgain)), log_(log),
      settings_(settings), runBudget_(std::min(settings.runBudget, warnAfter / 4))
{
    const ThreadRun run = callingThreadRun();
    cpuAtLastLook_ = cpuAtRunStart_ = run.cpuMicroseconds;
    waits_ = run.waits;
    // Once per turn of the loop, whether it will wait or not.
    connect(QThread::currentThread()->eventDispatcher(), &QAbstractEventDispatcher::aboutToBlock,
            this, &RealtimeGuard::afterTurn);
    loadCheck_.setInterval(settings_.calmWindow);
    connect(&loadCheck_, &QTimer::timeout, this, &RealtimeGuard::checkLoad);
}

void RealtimeGuard::afterTurn()
{
    if (takeRealtimeSuspension()) {
        suspended_ = true;
        log_.writeLine(
            QStringLiteral(
                "Scheduling: real-time suspended: the network thread ran %1 ms without a pause")
                .arg(std::chrono::duration_cast<std::chrono::milliseconds>(warnAfter_).count()));
        cpuAtLoadCheck_ = callingThreadRun().cpuMicroseconds;
        calmWindows_ = 0;
        loadCheck_.start();
    }
    if (suspended_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastLook_ < kLookInterval)
        return;
    const auto sinceLook = std::chrono::duration_cast<std::chrono::microseconds>(now - lastLook_);
    lastLook_ = now;
    const ThreadRun run = callingThreadRun();
    // A run ends where the thread waited and left the core to others for
    // most of the time since the last look; a brief wait on a lock gives the
    // desktop nothing.
    if (run.waits != waits_ && 2 * (run.cpuMicroseconds - cpuAtLastLook_) < sinceLook.count())
        cpuAtRunStart_ = run.cpuMicroseconds;
    waits_ = run.waits;
    cpuAtLastLook_ = run.cpuMicroseconds;
    if (run.cpuMicroseconds - cpuAtRunStart_ >= runBudget_.count()) {
        pauseCallingThread(settings_.pause);
        cpuAtRunStart_ = cpuAtLastLook_;
    }
}

void RealtimeGuard::checkLoad()
{
    const qint64 cpu = callingThreadRun().cpuMicroseconds;
    const qint64 window =
        std::chrono::duration_cast<std::chrono::microseconds>(settings_.calmWindow).count();
    const bool calm = double(cpu - cpuAtLoadCheck_) < settings_.calmShare * double(window);
    cpuAtLoadCheck_ = cpu;
    calmWindows_ = calm ? calmWindows_ + 1 : 0;
    if (calmWindows_ < settings_.calmWindowsNeeded)
        return;
    loadCheck_.stop();
    const QString error = requestAgain_();
    if (!error.isEmpty()) {
        log_.writeLine(
            QStringLiteral("Scheduling: normal (real time not granted again: %1)").arg(error));
        return;
    }
    suspended_ = false;
    const ThreadRun run = callingThreadRun();
    cpuAtLastLook_ = cpuAtRunStart_ = run.cpuMicroseconds;
    waits_ = run.waits;
    log_.writeLine(QStringLiteral("Scheduling: real-time again"));
}
