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
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSamples = 5'000;

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

class StampingEventLayer final : public EventLayer
{
public:
    void post(TapLocation, const InputEvent&) override
    {
        lastPost.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
    }
    std::atomic<Clock::rep> lastPost{0};
};

struct Figures
{
    double p50 = 0;
    double p99 = 0;
    double p999 = 0;
};

Figures figures(std::vector<double> samples)
{
    if (samples.empty())
        return {};
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples[std::min(samples.size() - 1, size_t(double(samples.size()) * q))] / 1000;
    };
    return {at(0.5), at(0.99), at(0.999)};
}

void makeRealtime(int priority)
{
    const sched_param param{.sched_priority = priority};
    ::sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param);
}

// Reads server frames until a text frame equal to `text` arrives.
bool readUntilText(int fd, QByteArray& buffer, QByteArrayView text)
{
    for (int reads = 0; reads < 100'000; ++reads) {
        while (buffer.size() >= 2) {
            const qsizetype length = buffer[1] & 0x7f;
            if (buffer.size() < 2 + length)
                break;
            const bool match = quint8(buffer[0]) == 0x81 && buffer.mid(2, length) == text;
            buffer.remove(0, 2 + length);
            if (match)
                return true;
        }
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffer.append(chunk, n);
    }
    return false;
}

// A blocking echo at real-time priority: the least a round trip costs here.
class EchoFloor
{
public:
    EchoFloor()
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 1);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        echo_ = std::thread([this] {
            makeRealtime(10);
            const int fd = ::accept(listener_, nullptr, nullptr);
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            char buffer[64];
            ssize_t n;
            while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
                ::send(fd, buffer, size_t(n), MSG_NOSIGNAL);
            ::close(fd);
        });
        client_ = connectLoopback(ntohs(address.sin_port));
    }
    ~EchoFloor()
    {
        ::close(client_);
        echo_.join();
        ::close(listener_);
    }
    double roundTrip(const QByteArray& message)
    {
        const auto start = Clock::now();
        writeAll(client_, message);
        char buffer[64];
        qsizetype got = 0;
        while (got < message.size()) {
            const ssize_t n = ::recv(client_, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            got += n;
        }
        return micros(Clock::now() - start);
    }

private:
    int listener_ = -1;
    int client_ = -1;
    std::thread echo_;
};

struct Run
{
    Figures floor;
    Figures handshake;
    Figures key;
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
    EchoFloor floor;
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
    run.floor = figures(floorRtts);
    run.handshake = figures(rtts);
    run.key = figures(keys);
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

void print(FILE* report, const char* what, const Figures& f)
{
    std::fprintf(report, "    %-28s p50 %6.3f ms   p99 %6.3f ms   p99.9 %6.3f ms\n", what, f.p50,
                 f.p99, f.p999);
}

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
         [] {
             return requestSchedulingForCallingThread();
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
        &host, [&] { model.reset(); }, Qt::BlockingQueuedConnection);
    serverThread.quit();
    serverThread.wait();
    output.finish();
    if (!ok)
        std::fprintf(report, "FAILED: the server stopped answering\n");
    return ok ? 0 : 1;
}
