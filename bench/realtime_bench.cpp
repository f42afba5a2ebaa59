// Real time under a flood: one client sends key messages as fast as it can
// for 6 s to the server's thread at SCHED_FIFO, which shares its core with a
// busy loop at normal priority. The thread's policy is sampled through the
// flood and for 6 s after it, and the busy loop's share of the core is
// measured; once with the program's guard, once with the kernel's limit alone.
// The client, on the other core, runs at real time too and never lets up.
// Needs root (real time directly). Run: build/.../bench/kestrelio_realtime_bench
#include "BenchSupport.h"
#include "RawWebSocket.h"
#include "common/DiagnosticLog.h"
#include "input/EventLayer.h"
#include "sched/ThreadPriority.h"
#include "sched/ThreadScheduling.h"
#include "server/WebSocketViewModel.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <atomic>
#include <ctime>
#include <sched.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr auto kFlood = 6s;
constexpr auto kAfter = 6s;
constexpr auto kSampleEvery = 20ms;

class CountingEventLayer final : public EventLayer
{
public:
    void post(const InputEvent&) override { ++posted; }
    std::atomic<long> posted{0};
};

class LinesLog final : public DiagnosticLog
{
public:
    void writeLine(const QString& line) override
    {
        if (line.startsWith(u"Scheduling: "))
            std::fprintf(stderr, "    (%s)\n", qPrintable(line));
    }
};

double threadCpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

struct Samples
{
    int total = 0;
    int realtime = 0;
    double firstNormalSeconds = -1; // from the start of the phase
    double lastNormalSeconds = -1;
};

// How often the thread has waited (slept or blocked) so far.
long waitsOf(pid_t thread)
{
    QFile status(QStringLiteral("/proc/self/task/%1/status").arg(thread));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("voluntary_ctxt_switches:"))
            return line.mid(24).trimmed().toLong();
    }
    return -1;
}

QByteArray seconds(double value)
{
    return value < 0 ? QByteArray("never") : QByteArray::number(value, 'f', 2) + " s";
}

Samples sample(pid_t thread, Clock::duration duration)
{
    Samples samples;
    const auto start = Clock::now();
    while (Clock::now() - start < duration) {
        const bool realtime = (::sched_getscheduler(thread) & ~SCHED_RESET_ON_FORK) == SCHED_FIFO;
        const double at = micros(Clock::now() - start) / 1e6;
        ++samples.total;
        if (realtime) {
            ++samples.realtime;
        } else {
            if (samples.firstNormalSeconds < 0)
                samples.firstNormalSeconds = at;
            samples.lastNormalSeconds = at;
        }
        std::this_thread::sleep_for(kSampleEvery);
    }
    return samples;
}

} // namespace

int main(int argc, char* argv[])
{
    DrainedStdout output;
    if (!output.isReady())
        return 1;
    FILE* report = output.report();
    QCoreApplication app(argc, argv);
    CountingEventLayer events;
    StdoutLog log;
    LinesLog schedulingLog;

    QThread serverThread;
    serverThread.start();
    QObject host;
    host.moveToThread(&serverThread);
    std::unique_ptr<WebSocketViewModel> model;
    std::unique_ptr<RealtimeGuard> guard;
    quint16 port = 0;
    pid_t serverTid = 0;
    const auto onServer = [&host](const std::function<void()>& work) {
        QMetaObject::invokeMethod(&host, work, Qt::BlockingQueuedConnection);
    };
    onServer([&] {
        pinToCore(0);
        serverTid = ::gettid();
        ServerSettings settings;
        settings.port = 0;
        model = std::make_unique<WebSocketViewModel>(events, log, settings);
        model->startServer();
        port = model->listeningPort();
    });
    pinToCore(1);
    std::fprintf(report,
                 "Kestrelio real time under a one-client flood (%.0f s, server and a "
                 "busy loop on core 0, client on core 1)\n",
                 std::chrono::duration<double>(kFlood).count());

    bool ok = port != 0;
    for (const bool guarded : {true, false}) {
        if (!ok)
            break;
        QString error;
        onServer([&] {
            takeRealtimeSuspension();
            if (guarded) {
                guard = scheduleCallingThread(schedulingLog);
                if (!guard)
                    error = QStringLiteral("no real time granted");
            } else {
                error = limitRealtimeRun(200'000);
                if (error.isEmpty())
                    error = setCallingThreadRealtime(10);
            }
        });
        if (!error.isEmpty()) {
            std::fprintf(report, "FAILED: %s (run as root)\n", qPrintable(error));
            ok = false;
            break;
        }

        std::atomic<bool> stop{false};
        double busyCpu = 0;
        std::thread busy([&] {
            pinToCore(0);
            const double start = threadCpuSeconds();
            while (!stop.load(std::memory_order_relaxed)) {
            }
            busyCpu = threadCpuSeconds() - start;
        });
        long sentBytes = 0;
        std::thread flooder([&] {
            // Real time too, so that the load elsewhere never lets the server's queue run dry.
            const sched_param flooding{.sched_priority = 20};
            ::sched_setscheduler(0, SCHED_FIFO, &flooding);
            const int fd = openWebSocket(port);
            QByteArray batch;
            for (int i = 0; i < 64; ++i)
                batch += RawWebSocket::clientFrame(i % 2 ? "-w" : "w");
            while (fd >= 0 && !stop.load() && writeAll(fd, batch))
                sentBytes += batch.size();
            if (fd >= 0)
                ::close(fd);
        });
        const long postedBefore = events.posted.load();
        const long waitsBefore = waitsOf(serverTid);
        const auto floodStart = Clock::now();
        const Samples during = sample(serverTid, kFlood);
        stop.store(true);
        const double floodSeconds = micros(Clock::now() - floodStart) / 1e6;
        flooder.join();
        busy.join();
        const long handled = events.posted.load() - postedBefore;
        const long waits = waitsOf(serverTid) - waitsBefore;
        const Samples after = sample(serverTid, kAfter);

        std::fprintf(report, "  %s\n",
                     guarded ? "the program (a pause after 10 ms of work without one)"
                             : "the kernel's limit alone (RLIMIT_RTTIME, no pause)");
        std::fprintf(report,
                     "    during the flood: SCHED_FIFO in %d of %d samples, first normal: %s\n",
                     during.realtime, during.total, seconds(during.firstNormalSeconds).constData());
        std::fprintf(report,
                     "    after the flood:  SCHED_FIFO in %d of %d samples, last normal: %s after "
                     "its end\n",
                     after.realtime, after.total, seconds(after.lastNormalSeconds).constData());
        std::fprintf(report,
                     "    busy loop's share of core 0 during the flood: %.1f %%; %ld key events "
                     "(%.1f MB sent); the server thread waited %ld times\n",
                     100.0 * busyCpu / floodSeconds, handled, double(sentBytes) / 1e6, waits);
        std::fflush(report);

        onServer([&] {
            guard.reset();
            const sched_param normal{};
            ::sched_setscheduler(0, SCHED_OTHER, &normal);
        });
    }
    onServer([&] { model.reset(); });
    serverThread.quit();
    serverThread.wait();
    output.finish();
    return ok ? 0 : 1;
}
