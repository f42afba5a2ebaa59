// Fairness under floods, on loopback: a probe client's hsk round trip, idle
// and while 50 clients send key messages as fast as they can, with the probe
// answering every PING as a phone does; then the server's memory while one
// client floods WebSocket pings and never reads the answers.
// Run: build/.../bench/kestrelio_flood_bench
#include "BenchSupport.h"
#include "RawWebSocket.h"
#include "common/DiagnosticLog.h"
#include "input/EventLayer.h"
#include "server/WebSocketViewModel.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int kFlooders = 50;
constexpr auto kFloodTime = 20s;

// Counts heartbeat failures on the way to standard output.
class CountingLog final : public DiagnosticLog
{
public:
    void writeLine(const QString& line) override
    {
        if (line.startsWith(u"Heartbeat stopped"))
            ++heartbeatFailures;
        else if (line.startsWith(u"Closed the connection"))
            ++closedForNotReading;
        out.writeLine(line);
    }
    StdoutLog out;
    std::atomic<int> heartbeatFailures{0};
    std::atomic<int> closedForNotReading{0};
};

// A phone: times hsk round trips and answers each PING on the way.
class Probe
{
public:
    explicit Probe(quint16 port) : fd_(openWebSocket(port)) {}
    ~Probe() { ::close(fd_); }
    bool isOpen() const { return fd_ >= 0; }

    // Microseconds, or a negative value when the server did not answer.
    double roundTrip()
    {
        const auto start = Clock::now();
        if (!writeAll(fd_, RawWebSocket::clientFrame("hsk")))
            return -1;
        for (int frames = 0; frames < 100'000; ++frames) {
            const QByteArray text = nextText();
            if (text.isNull())
                return -1;
            if (text == "PING" && !writeAll(fd_, RawWebSocket::clientFrame("pong")))
                return -1;
            if (text == "HSK_DONE")
                return micros(Clock::now() - start);
        }
        return -1;
    }

private:
    QByteArray nextText()
    {
        for (int reads = 0; reads < 100'000; ++reads) {
            if (buffer_.size() >= 2 && buffer_.size() >= 2 + (buffer_[1] & 0x7f)) {
                const qsizetype length = buffer_[1] & 0x7f; // the server's texts are short
                QByteArray text = buffer_.mid(2, length);
                buffer_.remove(0, 2 + length);
                return text;
            }
            char chunk[4096];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0)
                return {};
            buffer_.append(chunk, n);
        }
        return {};
    }

    int fd_;
    QByteArray buffer_;
};

std::vector<double> probeFor(Probe& probe, Clock::duration duration, bool& ok)
{
    std::vector<double> samples;
    const auto end = Clock::now() + duration;
    while (ok && Clock::now() < end) {
        const double rtt = probe.roundTrip();
        ok = rtt >= 0;
        samples.push_back(rtt);
        std::this_thread::sleep_for(5ms);
    }
    return samples;
}

// Key messages from many clients, as fast as the server takes them.
void flood(quint16 port, const std::atomic<bool>& stop, long& bytesSent)
{
    std::vector<pollfd> clients;
    for (int i = 0; i < kFlooders; ++i) {
        const int fd = openWebSocket(port);
        if (fd >= 0) {
            fcntl(fd, F_SETFL, O_NONBLOCK);
            clients.push_back({fd, POLLOUT, 0});
        }
    }
    QByteArray burst;
    for (int i = 0; i < 512; ++i)
        burst += RawWebSocket::clientFrame(i % 2 ? "-w" : "w");
    while (!stop.load() && !clients.empty()) {
        if (::poll(clients.data(), clients.size(), 100) <= 0)
            continue;
        for (pollfd& client : clients) {
            if (client.revents & POLLOUT) {
                const ssize_t n =
                    ::send(client.fd, burst.constData(), size_t(burst.size()), MSG_NOSIGNAL);
                if (n > 0)
                    bytesSent += n;
            }
        }
    }
    for (const pollfd& client : clients)
        ::close(client.fd);
}

// WebSocket pings that are never read back; returns the bytes sent before
// the server closed the connection.
long pingFlood(quint16 port, Clock::duration duration)
{
    const int fd = openWebSocket(port, 4096);
    if (fd < 0)
        return -1;
    const QByteArray ping = RawWebSocket::clientFrame(QByteArray(125, 'p'), 0x9).repeated(64);
    long sent = 0;
    const auto end = Clock::now() + duration;
    const timeval shortLimit{0, 200'000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &shortLimit, sizeof shortLimit);
    while (Clock::now() < end) {
        const ssize_t n = ::send(fd, ping.constData(), size_t(ping.size()), MSG_NOSIGNAL);
        if (n > 0)
            sent += n;
        else if (errno != EAGAIN && errno != EWOULDBLOCK)
            break; // the server has closed it
    }
    ::close(fd);
    return sent;
}

} // namespace

int main(int argc, char* argv[])
{
    // The server's lines go into a pipe that a reader drains.
    DrainedStdout output;
    if (!output.isReady())
        return 1;
    FILE* report = output.report();

    QCoreApplication app(argc, argv);
    pinToCore(1);
    NullEventLayer events;
    CountingLog log;
    WebSocketViewModel model(events, log, onAnyPort());

    bool ok = true;
    Percentiles idle;
    Percentiles flooded;
    long floodBytes = 0;
    long pingBytes = 0;
    long rssBeforePings = 0;
    long rssAfterPings = 0;
    serveWhileClientRuns(model, [&](quint16 port) {
        Probe probe(port);
        ok = probe.isOpen();
        idle = percentiles(probeFor(probe, 3s, ok));
        std::atomic<bool> stop{false};
        std::thread flooder([&] { flood(port, stop, floodBytes); });
        std::this_thread::sleep_for(500ms); // the flood is under way
        flooded = percentiles(probeFor(probe, kFloodTime, ok));
        stop = true;
        flooder.join();

        rssBeforePings = residentKiB();
        pingBytes = pingFlood(port, kFloodTime);
        std::this_thread::sleep_for(300ms);
        rssAfterPings = residentKiB();
    });
    output.finish();

    std::fprintf(report, "Kestrelio flood benchmark (loopback, %d cores)\n",
                 int(std::thread::hardware_concurrency()));
    std::fprintf(report,
                 "  probe hsk round trip, idle          p50 %8.1f us  p99 %8.1f us  (%zu)\n",
                 idle.p50, idle.p99, idle.count);
    std::fprintf(report,
                 "  probe hsk round trip, %d flooding    p50 %8.1f us  p99 %8.1f us  max %.1f ms "
                 "(%zu; %.0f MB of key messages sent)\n",
                 kFlooders, flooded.p50, flooded.p99, flooded.max / 1000, flooded.count,
                 floodBytes / 1e6);
    std::fprintf(report, "  heartbeat failures of the probe     %d\n",
                 log.heartbeatFailures.load());
    std::fprintf(
        report,
        "  ping flood never read: RSS %ld -> %ld KiB; %.1f MB of pings sent; closed by the "
        "server: %s\n",
        rssBeforePings, rssAfterPings, pingBytes / 1e6,
        log.closedForNotReading.load() > 0 ? "yes" : "no");
    return ok ? 0 : 1;
}
