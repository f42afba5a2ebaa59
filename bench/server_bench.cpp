// Loopback benchmark of the server: round trips beside a raw TCP echo floor,
// key latency to the event layer, sustained key rate with standard output in a
// pipe, and memory across many connections. Run: build/.../bench/kestrelio_bench
#include "BenchSupport.h"
#include "RawWebSocket.h"
#include "XTestSupport.h"
#include "common/DiagnosticLog.h"
#include "input/EventLayer.h"
#include "input/XTestBackend.h"
#include "server/WebSocketViewModel.h"

#include <QCoreApplication>

#include <X11/Xlib.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Stamps the moment each event reaches the layer; written on the server's
// thread, read by the client thread after the server has answered.
class StampingEventLayer final : public EventLayer
{
public:
    void post(const InputEvent&) override
    {
        lastPost.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
        posted.fetch_add(1, std::memory_order_release);
    }
    std::atomic<Clock::rep> lastPost{0};
    std::atomic<long> posted{0};
};

struct Results
{
    Percentiles floor{};
    Percentiles handshake{};
    Percentiles keyOneWay{};
    std::optional<Percentiles> keyToXServer;
    double keysPerSecond = 0;
    long keyMessages = 0;
    long rssAfter1k = 0;
    long rssAfter10k = 0;
    bool ok = true;
};

// Key messages to a server that posts through XTest, each timed until the X
// server reports the key to another client.
std::optional<Percentiles> measureKeyToXServer(quint16 port, XInputRecorder& recorder)
{
    const int fd = openWebSocket(port);
    if (fd < 0)
        return std::nullopt;
    const QByteArray press = RawWebSocket::clientFrame("w");
    const QByteArray release = RawWebSocket::clientFrame("-w");
    std::vector<double> samples;
    for (int i = 0; i < 5'000; ++i) {
        const auto start = Clock::now();
        if (!writeAll(fd, i % 2 ? release : press) || recorder.next(5000).isEmpty())
            break;
        samples.push_back(micros(Clock::now() - start));
    }
    ::close(fd);
    if (samples.size() < 5'000)
        return std::nullopt;
    return percentiles(samples);
}

void runClient(quint16 port, StampingEventLayer& events, Results& results)
{
    constexpr int kSamples = 20'000;
    const int fd = openWebSocket(port);
    if (fd < 0) {
        results.ok = false;
        return;
    }
    QByteArray buffer;
    const QByteArray hsk = RawWebSocket::clientFrame("hsk");

    // Floor and server samples alternate, so that both meet the same noise.
    EchoFloor floor([] { pinToCore(1); });
    std::vector<double> floorRtts;
    std::vector<double> rtts;
    for (int i = 0; i < kSamples && results.ok; ++i) {
        floorRtts.push_back(floor.roundTrip(hsk));
        const auto start = Clock::now();
        results.ok = writeAll(fd, hsk) && readUntilText(fd, buffer, "HSK_DONE");
        rtts.push_back(micros(Clock::now() - start));
    }
    results.floor = percentiles(floorRtts);
    results.handshake = percentiles(rtts);

    // One key message at a time; the handshake after it says it has been handled.
    const QByteArray press = RawWebSocket::clientFrame("w");
    const QByteArray release = RawWebSocket::clientFrame("-w");
    std::vector<double> oneWay;
    for (int i = 0; i < kSamples && results.ok; ++i) {
        const auto start = Clock::now();
        results.ok = writeAll(fd, i % 2 ? release : press) && writeAll(fd, hsk) &&
                     readUntilText(fd, buffer, "HSK_DONE");
        const Clock::time_point posted(
            Clock::duration(events.lastPost.load(std::memory_order_acquire)));
        oneWay.push_back(micros(posted - start));
    }
    results.keyOneWay = percentiles(oneWay);

    // A sustained stream of key messages, each posting an event and a line.
    constexpr int kStream = 600'000;
    QByteArray stream;
    stream.reserve(qsizetype(kStream) * 8 + 16);
    for (int i = 0; i < kStream; ++i)
        stream += i % 2 ? release : press;
    stream += hsk;
    const long before = events.posted.load();
    const auto start = Clock::now();
    results.ok = results.ok && writeAll(fd, stream) && readUntilText(fd, buffer, "HSK_DONE");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    results.keyMessages = events.posted.load() - before;
    results.keysPerSecond = results.keyMessages / seconds;
    ::close(fd);

    // Connections that come and go must not leave anything behind.
    for (int i = 1; i <= 10'000 && results.ok; ++i) {
        const int churn = openWebSocket(port);
        results.ok = churn >= 0;
        ::close(churn);
        if (i == 1'000)
            results.rssAfter1k = residentKiB();
    }
    // Let the server take in the last closes.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    results.rssAfter10k = residentKiB();
}

} // namespace

int main(int argc, char* argv[])
{
    // Results go to the terminal; the server's lines go into a pipe that a
    // reader drains, as when a tool reads the program's output live.
    DrainedStdout output;
    if (!output.isReady())
        return 1;
    FILE* report = output.report();

    // The X phase reads the X server from the client thread.
    XInitThreads();
    QCoreApplication app(argc, argv);
    pinToCore(1);
    StampingEventLayer events;
    StdoutLog log;
    ServerSettings settings;
    settings.port = 0;
    WebSocketViewModel model(events, log, settings);
    Results results;

    // A second server that posts through XTest into a private X server.
    XvfbServer xvfb;
    std::unique_ptr<XInputRecorder> recorder;
    std::unique_ptr<XTestBackend> xtest;
    std::unique_ptr<WebSocketViewModel> xModel;
    if (xvfb.isRunning()) {
        QString error;
        recorder = std::make_unique<XInputRecorder>(xvfb.displayName());
        xtest = XTestBackend::connect(xvfb.displayName(), log, error);
    }
    if (xtest && recorder->isReady()) {
        xModel = std::make_unique<WebSocketViewModel>(*xtest, log, settings);
        xModel->startServer();
    }
    std::thread client;
    qsizetype objectsAtStart = 0;

    QObject::connect(&model, &WebSocketViewModel::serverStatusChanged, &model, [&] {
        if (!model.serverStatus().startsWith(u"Server ready") || client.joinable())
            return;
        objectsAtStart = model.findChildren<QObject*>().size();
        client = std::thread([&, port = model.listeningPort()] {
            pinToCore(0);
            runClient(port, events, results);
            if (xModel)
                results.keyToXServer = measureKeyToXServer(xModel->listeningPort(), *recorder);
            QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
        });
    });
    model.startServer();
    QCoreApplication::exec();
    client.join();
    QCoreApplication::processEvents();
    const qsizetype objectsAtEnd = model.findChildren<QObject*>().size();
    output.finish();

    const auto ratio = [&](double value, double floor) {
        return value / floor;
    };
    std::fprintf(report, "Kestrelio server benchmark (loopback, one client, %d cores)\n",
                 int(std::thread::hardware_concurrency()));
    std::fprintf(report, "  raw TCP echo round trip (floor)  p50 %7.1f us   p99 %7.1f us\n",
                 results.floor.p50, results.floor.p99);
    std::fprintf(report,
                 "  hsk -> HSK_DONE round trip       p50 %7.1f us   p99 %7.1f us   (%.2fx / "
                 "%.2fx floor)\n",
                 results.handshake.p50, results.handshake.p99,
                 ratio(results.handshake.p50, results.floor.p50),
                 ratio(results.handshake.p99, results.floor.p99));
    std::fprintf(report,
                 "  key send -> event layer          p50 %7.1f us   p99 %7.1f us   (p50 %.2fx "
                 "floor round trip)\n",
                 results.keyOneWay.p50, results.keyOneWay.p99,
                 ratio(results.keyOneWay.p50, results.floor.p50));
    if (results.keyToXServer)
        std::fprintf(report,
                     "  key send -> X server (XTest)     p50 %7.1f us   p99 %7.1f us   (p50 "
                     "%.2fx floor round trip)\n",
                     results.keyToXServer->p50, results.keyToXServer->p99,
                     ratio(results.keyToXServer->p50, results.floor.p50));
    else
        std::fprintf(report, "  key send -> X server (XTest)     not measured: no Xvfb\n");
    std::fprintf(report,
                 "  key messages handled             %9.0f /s    (%ld messages, stdout in a pipe, "
                 "%ld lines drained)\n",
                 results.keysPerSecond, results.keyMessages, output.linesDrained());
    std::fprintf(report,
                 "  10,000 connections opened and closed: RSS %ld KiB after 1,000, %ld KiB after "
                 "10,000; server objects %lld -> %lld\n",
                 results.rssAfter1k, results.rssAfter10k, qlonglong(objectsAtStart),
                 qlonglong(objectsAtEnd));
    return results.ok ? 0 : 1;
}
