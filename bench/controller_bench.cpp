// Game controller bridge: wake-ups and CPU while idle, with no controller and
// with one attached, and the latency from a button change to the event layer.
// SDL's virtual controllers stand in for hardware.
#include "common/DiagnosticLog.h"
#include "controller/GameControllerManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTimer>

#include <SDL.h>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class SignallingEventLayer final : public EventLayer
{
public:
    void post(const InputEvent&) override
    {
        const std::lock_guard lock(mutex);
        lastPost = Clock::now();
        ++posted;
        changed.notify_all();
    }
    std::mutex mutex;
    std::condition_variable changed;
    Clock::time_point lastPost;
    long posted = 0;
};

class NullLog final : public DiagnosticLog
{
public:
    void writeLine(const QString&) override {}
};

// Context switches of every thread of this process: each is a wake-up.
long contextSwitches()
{
    long total = 0;
    const QStringList tasks =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& task : tasks) {
        QFile status(QStringLiteral("/proc/self/task/%1/status").arg(task));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.contains("ctxt_switches:"))
                total += line.split(':').last().trimmed().toLong();
        }
    }
    return total;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Idle
{
    double wakeupsPerSecond;
    double cpuPercent;
};

// Runs the event loop for `seconds` with nothing to do but the bridge.
Idle measureIdle(int seconds)
{
    const long switchesBefore = contextSwitches();
    const double cpuBefore = cpuSeconds();
    QTimer::singleShot(std::chrono::seconds(seconds), qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    return {double(contextSwitches() - switchesBefore - 1) / seconds, // less the end timer
            100.0 * (cpuSeconds() - cpuBefore) / seconds};
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    SignallingEventLayer events;
    NullLog log;
    GameControllerManager manager(events, log);
    if (!manager.gamepads().isAvailable()) {
        std::fprintf(stderr, "SDL's game controller subsystem is unavailable\n");
        return 1;
    }

    const Idle withoutController = measureIdle(10);

    SDL_VirtualJoystickDesc description{};
    description.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
    description.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
    description.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
    description.naxes = SDL_CONTROLLER_AXIS_MAX;
    description.name = "Benchmark pad";
    SDL_Joystick* pad = SDL_JoystickOpen(SDL_JoystickAttachVirtualEx(&description));
    // A virtual pad makes no hot-plug event: the bridge is told by hand.
    manager.gamepads().pump();
    if (!manager.controller()) {
        std::fprintf(stderr, "the virtual controller was not found\n");
        return 1;
    }
    const Idle withController = measureIdle(10);

    // Button changes at random moments against the pump, each timed until its
    // event reaches the event layer.
    std::vector<double> latencies;
    std::thread presser([&] {
        std::mt19937 random(7);
        std::uniform_int_distribution<int> pause(0, 8000);
        for (int i = 0; i < 600; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
            std::unique_lock lock(events.mutex);
            const long before = events.posted;
            const auto start = Clock::now();
            SDL_JoystickSetVirtualButton(pad, SDL_CONTROLLER_BUTTON_A,
                                         i % 2 ? SDL_RELEASED : SDL_PRESSED);
            if (!events.changed.wait_for(lock, std::chrono::seconds(2),
                                         [&] { return events.posted > before; }))
                break;
            latencies.push_back(
                std::chrono::duration<double, std::milli>(events.lastPost - start).count());
        }
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    QCoreApplication::exec();
    presser.join();
    SDL_JoystickClose(pad);
    if (latencies.size() < 600) {
        std::fprintf(stderr, "button changes were lost\n");
        return 1;
    }
    std::sort(latencies.begin(), latencies.end());

    std::printf("Kestrelio game controller bridge benchmark (SDL virtual controller)\n");
    std::printf("  idle, no controller:    %5.1f wake-ups/s, %.2f%% of a core (10 s)\n",
                withoutController.wakeupsPerSecond, withoutController.cpuPercent);
    std::printf("  idle, one controller:   %5.1f wake-ups/s, %.2f%% of a core (10 s)\n",
                withController.wakeupsPerSecond, withController.cpuPercent);
    std::printf("  button -> event layer:  p50 %.2f ms, p99 %.2f ms (%zu changes)\n",
                latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100],
                latencies.size());
    return 0;
}
