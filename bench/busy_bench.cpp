// The server on a thread of its own while two busy loops per core compete for
// the processor, as a game does: hsk round trips and the key-to-event-layer
// time beside a raw TCP echo, at normal priority, at nice -15 and with what
// the program's scheduling request obtains (run as root: SCHED_FIFO). The
// client runs at real-time priority: it stands in for the kernel's network
// path. Run: build/.../bench/kestrelio_busy_bench
#include "BenchSupport.h"
#include "RawWebSocket.h"
#include "common/DiagnosticLog.h"
#include "input/EventLayer.h"
#include "sched/ThreadScheduling.h"
#include "server/WebSocketViewModel.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kSamples = 5'000;

class StampingEventLayer final : public EventLayer
{
public:
    void post(const InputEvent&) override
    {
        lastPost.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
    }
    std::atomic<Clock::rep> lastPost{0};
};

void makeRealtime(int priority)
{
    const sched_param param{.sched_priority = priority};
    ::sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param);
}

struct Run
{
    Percentiles floor;
    Percentiles handshake;
    Percentiles key;
    bool ok = true;
};

Run measure(quint16 port, StampingEventLayer& events)
{
    Run run;
    const int fd = openWebSocket(port);
    if (fd < 0)
        return {{}, {}, {}, false};
    QByteArray buffer;
    const QByteArray hsk = RawWebSocket::clientFrame("hsk");
    // Real-time, like the client, so the busy loops cannot delay the floor.
    EchoFloor floor([] { makeRealtime(10); });
    std::vector<double> floorRtts;
    std::vector<double> rtts;
    for (int i = 0; i < kSamples && run.ok; ++i) {
        floorRtts.push_back(floor.roundTrip(hsk));
        const auto start = Clock::now();
        run.ok = writeAll(fd, hsk) && readUntilText(fd, buffer, "HSK_DONE");
        rtts.push_back(micros(Clock::now() - start));
    }
    // One key message at a time; the handshake after it says it has been handled.
    const QByteArray press = RawWebSocket::clientFrame("w");
    const QByteArray release = RawWebSocket::clientFrame("-w");
    std::vector<double> keys;
    for (int i = 0; i < kSamples && run.ok; ++i) {
        const auto start = Clock::now();
        run.ok = writeAll(fd, i % 2 ? release : press) && writeAll(fd, hsk) &&
                 readUntilText(fd, buffer, "HSK_DONE");
        const Clock::time_point posted(
            Clock::duration(events.lastPost.load(std::memory_order_acquire)));
        keys.push_back(micros(posted - start));
    }
    ::close(fd);
    run.floor = percentiles(floorRtts);
    run.handshake = percentiles(rtts);
    run.key = percentiles(keys);
    return run;
}

// Two busy loops per core at normal priority, as separate processes; made
// before anything here takes real-time priority.
class BusyMachine
{
public:
    BusyMachine()
    {
        for (unsigned i = 0; i < 2 * std::max(1u, std::thread::hardware_concurrency()); ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                // Never outlive the run, whatever happens to it.
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                ::alarm(600);
                // The drained output ends only when its last writer goes.
                ::close(STDOUT_FILENO);
                volatile unsigned long spin = 0;
                for (;;)
                    spin = spin + 1;
            }
            if (pid > 0)
                loops_.push_back(pid);
        }
    }
    ~BusyMachine()
    {
        for (const pid_t pid : loops_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    size_t count() const { return loops_.size(); }

private:
    std::vector<pid_t> loops_;
};

void print(FILE* report, const char* what, const Percentiles& figures)
{
    std::fprintf(report, "    %-28s p50 %6.3f ms   p99 %6.3f ms   p99.9 %6.3f ms\n", what,
                 figures.p50 / 1000, figures.p99 / 1000, figures.p999 / 1000);
}

struct LastLineLog final : DiagnosticLog
{
    void writeLine(const QString& line) override { lastLine = line; }
    QString lastLine;
};

} // namespace

int main(int argc, char* argv[])
{
    DrainedStdout output;
    if (!output.isReady())
        return 1;
    FILE* report = output.report();
    const BusyMachine busy;
    QCoreApplication app(argc, argv);
    StampingEventLayer events;
    StdoutLog log;

    // The server and its event loop on a thread of their own, as in the program.
    QThread serverThread;
    serverThread.start();
    QObject host;
    host.moveToThread(&serverThread);
    std::unique_ptr<WebSocketViewModel> model;
    quint16 port = 0;
    QMetaObject::invokeMethod(
        &host,
        [&] {
            ServerSettings settings;
            settings.port = 0;
            model = std::make_unique<WebSocketViewModel>(events, log, settings);
            model->startServer();
            port = model->listeningPort();
        },
        Qt::BlockingQueuedConnection);

    makeRealtime(20);
    std::fprintf(report,
                 "Kestrelio under load (%zu busy loops on %u cores, %d samples, client at "
                 "SCHED_FIFO)\n",
                 busy.count(), std::thread::hardware_concurrency(), kSamples);
    bool ok = port != 0;
    LastLineLog schedulingLog;
    std::unique_ptr<RealtimeGuard> guard;
    const auto scheduleServer = [&](const std::function<QString()>& request) {
        QString line;
        QMetaObject::invokeMethod(
            &host, [&] { line = request(); }, Qt::BlockingQueuedConnection);
        return line;
    };
    const std::pair<const char*, std::function<QString()>> modes[] = {
        {"normal priority",
         [] {
             return QStringLiteral("Scheduling: normal");
         }},
        {"nice -15",
         [] {
             ::setpriority(PRIO_PROCESS, ::gettid(), -15);
             return QStringLiteral("Scheduling: nice -15");
         }},
        {"the program's request",
         [&guard, &schedulingLog] {
             guard = scheduleCallingThread(schedulingLog);
             return schedulingLog.lastLine;
         }},
    };
    for (const auto& [name, request] : modes) {
        if (!ok)
            break;
        const QString line = scheduleServer(request);
        const Run run = measure(port, events);
        ok = run.ok;
        std::fprintf(report, "  %s (%s)\n", name, qPrintable(line));
        print(report, "raw TCP echo (SCHED_FIFO)", run.floor);
        print(report, "hsk -> HSK_DONE round trip", run.handshake);
        print(report, "key send -> event layer", run.key);
        std::fflush(report);
    }
    QMetaObject::invokeMethod(
        &host,
        [&] {
            model.reset();
            guard.reset();
        },
        Qt::BlockingQueuedConnection);
    serverThread.quit();
    serverThread.wait();
    output.finish();
    if (!ok)
        std::fprintf(report, "FAILED: the server stopped answering\n");
    return ok ? 0 : 1;
}
