// The mouse pointer over loopback: "move" messages until the X server (Xvfb,
// through XTest) reports the motion, beside the raw loopback floor; then a
// phone at 60 Hz with two sticks and a touchpad, and what it costs the
// server's thread. Run: build/.../bench/kestrelio_pointer_bench
#include "BenchSupport.h"
#include "RawWebSocket.h"
#include "XTestSupport.h"
#include "common/DiagnosticLog.h"
#include "input/XTestBackend.h"
#include "server/WebSocketViewModel.h"

#include <QCoreApplication>

#include <X11/Xlib.h>
#include <ctime>
#include <pthread.h>

namespace {

// Counts what reaches the X server's door, and passes it on.
class CountingLayer final : public EventLayer
{
public:
    explicit CountingLayer(EventLayer& next) : next_(next) {}
    void post(const InputEvent& event) override
    {
        next_.post(event);
        posted.fetch_add(1, std::memory_order_relaxed);
    }
    std::atomic<long> posted{0};

private:
    EventLayer& next_;
};

double threadCpuSeconds(pthread_t thread)
{
    clockid_t clock;
    timespec now{};
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &now) != 0)
        return 0;
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

struct Results
{
    Percentiles floor;
    Percentiles moveToX;
    double messagesPerSecond = 0;
    double eventsPerSecond = 0;
    double serverCpuShare = 0;
    bool ok = false;
};

// Alternate right and left, so the pointer never stops at a screen edge.
void measureMoves(int fd, XInputRecorder& recorder, Results& results)
{
    constexpr int kSamples = 5'000;
    const QByteArray right = RawWebSocket::clientFrame("move 1 0");
    const QByteArray left = RawWebSocket::clientFrame("move -1 0");
    const QByteArray hsk = RawWebSocket::clientFrame("hsk");
    EchoFloor floor([] { pinToCore(1); });
    std::vector<double> floorRtts;
    std::vector<double> samples;
    for (int i = 0; i < kSamples && results.ok; ++i) {
        floorRtts.push_back(floor.roundTrip(hsk));
        const auto start = Clock::now();
        results.ok = writeAll(fd, i % 2 ? left : right) && recorder.next(5000) == u"motion";
        samples.push_back(micros(Clock::now() - start));
    }
    results.floor = percentiles(floorRtts);
    results.moveToX = percentiles(samples);
}

// Three streams at 60 Hz, as the page sends them: a WASD stick's key changes,
// a mouse stick's and a touchpad's motion.
void measureSixtyHertz(quint16 port, pthread_t server, CountingLayer& layer, Results& results)
{
    constexpr int kTicks = 600; // ten seconds
    const int streams[3] = {openWebSocket(port), openWebSocket(port), openWebSocket(port)};
    const QByteArray frames[3][2] = {
        {RawWebSocket::clientFrame("w"), RawWebSocket::clientFrame("-w")},
        {RawWebSocket::clientFrame("move 12.5 -3.25"),
         RawWebSocket::clientFrame("move -12.5 3.25")},
        {RawWebSocket::clientFrame("move 4 7.5"), RawWebSocket::clientFrame("move -4 -7.5")}};
    const long postedBefore = layer.posted.load();
    const double cpuBefore = threadCpuSeconds(server);
    const auto start = Clock::now();
    for (int tick = 0; tick < kTicks && results.ok; ++tick) {
        std::this_thread::sleep_until(start + tick * std::chrono::microseconds(16'667));
        for (int s = 0; s < 3; ++s)
            results.ok = results.ok && writeAll(streams[s], frames[s][tick % 2]);
    }
    QByteArray buffer;
    const QByteArray hsk = RawWebSocket::clientFrame("hsk");
    for (const int fd : streams)
        results.ok = results.ok && writeAll(fd, hsk) && readUntilText(fd, buffer, "HSK_DONE");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    results.messagesPerSecond = 3 * kTicks / seconds;
    results.eventsPerSecond = double(layer.posted.load() - postedBefore) / seconds;
    results.serverCpuShare = (threadCpuSeconds(server) - cpuBefore) / seconds;
    for (const int fd : streams)
        ::close(fd);
}

} // namespace

int main(int argc, char* argv[])
{
    DrainedStdout output; // the server's key lines go into a pipe
    if (!output.isReady())
        return 1;
    XInitThreads();
    QCoreApplication app(argc, argv);
    pinToCore(1);
    StdoutLog log;
    XvfbServer xvfb;
    QString error;
    std::unique_ptr<XInputRecorder> recorder;
    std::unique_ptr<XTestBackend> xtest;
    if (xvfb.isRunning()) {
        recorder = std::make_unique<XInputRecorder>(xvfb.displayName(), true);
        xtest = XTestBackend::connect(xvfb.displayName(), log, error);
    }
    if (!xtest || !recorder->isReady()) {
        std::fprintf(output.report(), "pointer benchmark: no Xvfb with XTest (%s)\n",
                     qPrintable(error));
        return 1;
    }
    CountingLayer layer(*xtest);
    WebSocketViewModel model(layer, log, onAnyPort());
    Results results;
    const pthread_t server = pthread_self();
    serveWhileClientRuns(model, [&](quint16 port) {
        const int fd = openWebSocket(port);
        results.ok = fd >= 0;
        measureMoves(fd, *recorder, results);
        ::close(fd);
        measureSixtyHertz(port, server, layer, results);
    });
    output.finish();

    FILE* report = output.report();
    std::fprintf(report, "Kestrelio pointer benchmark (loopback, Xvfb through XTest)\n");
    std::fprintf(report, "  raw TCP echo round trip (floor)  p50 %7.1f us   p99 %7.1f us\n",
                 results.floor.p50, results.floor.p99);
    std::fprintf(report,
                 "  move -> motion at the X server   p50 %7.1f us   p99 %7.1f us   (%.2fx / %.2fx "
                 "floor)\n",
                 results.moveToX.p50, results.moveToX.p99, results.moveToX.p50 / results.floor.p50,
                 results.moveToX.p99 / results.floor.p99);
    std::fprintf(report,
                 "  two sticks and a touchpad at 60 Hz: %.0f messages/s, %.0f events/s, server "
                 "thread %.2f %% of a core\n",
                 results.messagesPerSecond, results.eventsPerSecond, 100 * results.serverCpuShare);
    return results.ok ? 0 : 1;
}
