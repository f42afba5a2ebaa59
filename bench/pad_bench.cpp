// Loopback benchmark of the game pads: a stick message's time from send to
// the pad's event write, beside a raw TCP echo floor, and the server's CPU
// use with 8 pads moving both sticks at 60 messages a second each. The pads
// write into pipes the benchmark reads, where uinput would take the frames.
// Run: build/.../bench/kestrelio_pad_bench
#include "BenchSupport.h"
#include "RawWebSocket.h"
#include "common/DiagnosticLog.h"
#include "input/EventLayer.h"
#include "server/WebSocketViewModel.h"

#include <QCoreApplication>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kPads = 8;

// When the newest frame was written; set on the server's thread, read by the
// client thread once the frame has arrived.
std::atomic<Clock::rep> lastWrite{0};

// Each pad writes its frames into a pipe of its own.
class PipePad final : public PadDevice
{
public:
    PipePad(int fd, DiagnosticLog& log) : writer_(fd, QStringLiteral("pad pipe"), log) {}
    void writeFrame(const QList<InputEventWriter::Event>& events) override
    {
        lastWrite.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
        writer_.writeFrame(events);
    }

private:
    InputEventWriter writer_;
};

class PipePads final : public PadDeviceFactory
{
public:
    PipePads()
    {
        for (auto& pipe : pipes)
            ok = ok && ::pipe(pipe.data()) == 0;
    }
    std::unique_ptr<PadDevice> create(int player, DiagnosticLog& log, QString&) override
    {
        return std::make_unique<PipePad>(pipes[size_t(player - 1)][1], log);
    }
    int readEnd(int player) const { return pipes[size_t(player - 1)][0]; }

    std::array<std::array<int, 2>, kPads> pipes{};
    bool ok = true;
};

// Waits up to 10 s for a pad's frame and takes what the pipe holds.
bool readFrame(int fd)
{
    pollfd ready{fd, POLLIN, 0};
    input_event events[16];
    return ::poll(&ready, 1, 10'000) == 1 && ::read(fd, events, sizeof events) > 0;
}

// A `/pad` WebSocket, once the server has told it its player number.
int openPad(quint16 port)
{
    const int fd = connectLoopback(port);
    if (fd < 0 ||
        !writeAll(fd, RawWebSocket::upgradeRequest("127.0.0.1").replace("GET / ", "GET /pad ")))
        return -1;
    QByteArray answer;
    char chunk[512];
    for (int reads = 0; reads < 100 && !answer.contains("PLAYER "); ++reads) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return -1;
        answer.append(chunk, n);
    }
    return answer.startsWith("HTTP/1.1 101") && answer.contains("PLAYER ") ? fd : -1;
}

double threadCpuSeconds(clockid_t clock)
{
    timespec time{};
    clock_gettime(clock, &time);
    return double(time.tv_sec) + double(time.tv_nsec) / 1e9;
}

struct Results
{
    Percentiles floor{};
    Percentiles stickToWrite{};
    Percentiles stickToReader{};
    double serverCpuPercent = 0;
    double drainCpuPercent = 0;
    long sent = 0;
    bool ok = true;
};

void measureLatency(quint16 port, PipePads& pads, Results& results)
{
    constexpr int kSamples = 20'000;
    const int fd = openPad(port);
    if (fd < 0) {
        results.ok = false;
        return;
    }
    const QByteArray right = RawWebSocket::clientFrame("ls 0.5 0");
    const QByteArray left = RawWebSocket::clientFrame("ls -0.5 0");
    EchoFloor floor([] { pinToCore(1); });
    std::vector<double> floorRtts;
    std::vector<double> toWrite;
    std::vector<double> toReader;
    // Floor and pad samples alternate, so that both meet the same noise; each
    // message moves the stick, so each makes a frame.
    for (int i = 0; i < kSamples && results.ok; ++i) {
        floorRtts.push_back(floor.roundTrip(right));
        const auto start = Clock::now();
        results.ok = writeAll(fd, i % 2 ? left : right) && readFrame(pads.readEnd(1));
        toReader.push_back(micros(Clock::now() - start));
        const Clock::time_point written(Clock::duration(lastWrite.load(std::memory_order_acquire)));
        toWrite.push_back(micros(written - start));
    }
    ::close(fd);
    results.floor = percentiles(floorRtts);
    results.stickToWrite = percentiles(toWrite);
    results.stickToReader = percentiles(toReader);
}

void measureLoad(quint16 port, PipePads& pads, clockid_t serverClock, Results& results)
{
    // The closed latency pad's player number is free again once the server
    // has seen it go; the 8 pads take 1 to 8.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::array<int, kPads> sockets{};
    for (int& fd : sockets) {
        fd = openPad(port);
        results.ok = results.ok && fd >= 0;
    }
    std::atomic<bool> draining{true};
    clockid_t drainClock{};
    std::thread drain([&] {
        pinToCore(0);
        char chunk[65536];
        while (draining.load()) {
            std::array<pollfd, kPads> ready{};
            for (int i = 0; i < kPads; ++i)
                ready[size_t(i)] = {pads.readEnd(i + 1), POLLIN, 0};
            if (::poll(ready.data(), kPads, 100) > 0) {
                for (const pollfd& pipe : ready) {
                    if (pipe.revents & POLLIN) [[maybe_unused]]
                        const ssize_t n = ::read(pipe.fd, chunk, sizeof chunk);
                }
            }
        }
    });
    pthread_getcpuclockid(drain.native_handle(), &drainClock);

    constexpr int kTicksPerSecond = 60;
    constexpr int kSeconds = 10;
    const double serverBefore = threadCpuSeconds(serverClock);
    const double drainBefore = threadCpuSeconds(drainClock);
    const auto start = Clock::now();
    for (int tick = 0; tick < kTicksPerSecond * kSeconds && results.ok; ++tick) {
        std::this_thread::sleep_until(
            start + tick * std::chrono::microseconds(1'000'000 / kTicksPerSecond));
        // Both sticks of every pad circle, so every message changes a value.
        const double angle = tick * 0.1;
        for (int pad = 0; pad < kPads && results.ok; ++pad) {
            const QByteArray x = QByteArray::number(std::cos(angle + pad), 'f', 3);
            const QByteArray y = QByteArray::number(std::sin(angle + pad), 'f', 3);
            results.ok =
                writeAll(sockets[size_t(pad)], RawWebSocket::clientFrame("ls " + x + ' ' + y) +
                                                   RawWebSocket::clientFrame("rs " + y + ' ' + x));
            results.sent += 2;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    results.serverCpuPercent = 100.0 * (threadCpuSeconds(serverClock) - serverBefore) / seconds;
    results.drainCpuPercent = 100.0 * (threadCpuSeconds(drainClock) - drainBefore) / seconds;
    draining = false;
    drain.join();
    for (const int fd : sockets)
        ::close(fd);
}

} // namespace

int main(int argc, char* argv[])
{
    DrainedStdout output;
    if (!output.isReady())
        return 1;
    FILE* report = output.report();

    QCoreApplication app(argc, argv);
    pinToCore(1);
    clockid_t serverClock{};
    pthread_getcpuclockid(pthread_self(), &serverClock);
    NullEventLayer events;
    StdoutLog log;
    auto pads = std::make_shared<PipePads>();
    if (!pads->ok)
        return 1;
    ServerSettings settings = onAnyPort();
    settings.padDevices = pads;
    WebSocketViewModel model(events, log, settings);
    Results results;
    serveWhileClientRuns(model, [&](quint16 port) {
        measureLatency(port, *pads, results);
        if (results.ok)
            measureLoad(port, *pads, serverClock, results);
    });
    output.finish();

    std::fprintf(report, "Kestrelio game pad benchmark (loopback, %d cores)\n",
                 int(std::thread::hardware_concurrency()));
    std::fprintf(report, "  raw TCP echo round trip (floor)  p50 %7.1f us   p99 %7.1f us\n",
                 results.floor.p50, results.floor.p99);
    std::fprintf(report,
                 "  stick message -> pad's write     p50 %7.1f us   p99 %7.1f us   (p50 %.2fx "
                 "floor round trip)\n",
                 results.stickToWrite.p50, results.stickToWrite.p99,
                 results.stickToWrite.p50 / results.floor.p50);
    std::fprintf(report,
                 "  stick message -> frame read      p50 %7.1f us   p99 %7.1f us   (p50 %.2fx "
                 "floor round trip; another thread reads the pipe)\n",
                 results.stickToReader.p50, results.stickToReader.p99,
                 results.stickToReader.p50 / results.floor.p50);
    std::fprintf(report,
                 "  8 pads x 2 sticks x 60/s, 10 s   server thread %.2f %% of a core (%ld "
                 "messages; the bench's pipe reader %.2f %%)\n",
                 results.serverCpuPercent, results.sent, results.drainCpuPercent);
    return results.ok ? 0 : 1;
}
