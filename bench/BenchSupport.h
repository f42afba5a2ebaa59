#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QThread>
#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

class DiagnosticLog;
class EventLayer;
class WebSocketViewModel;
struct ServerSettings;

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d);

// Zero throughout when there are no samples, so a failed run still prints.
struct Percentiles
{
    double p50 = 0;
    double p99 = 0;
    double p999 = 0;
    double max = 0;
    size_t count = 0;
};

Percentiles percentiles(std::vector<double> samples);

// Pins the calling thread to one core: on a virtual machine a wake-up that
// crosses cores costs far more than one that stays, so what is compared must
// be placed alike.
void pinToCore(int core);

// The process's resident memory in KiB.
long residentKiB();

// A TCP connection to loopback with Nagle off; every blocking call on it
// gives up after 10 s, so a stalled server fails the run instead of hanging
// it. `receiveBuffer` > 0 shrinks the socket's receive buffer. -1 on failure.
int connectLoopback(quint16 port, int receiveBuffer = 0);

// connectLoopback, then the WebSocket upgrade; -1 unless the server says 101.
int openWebSocket(quint16 port, int receiveBuffer = 0);

bool writeAll(int fd, const QByteArray& bytes);

// Reads server frames until a text frame equal to `text` arrives.
bool readUntilText(int fd, QByteArray& buffer, QByteArrayView text);

// A blocking echo server on its own thread: the least a round trip over
// loopback can cost on this machine. `placeEchoThread` runs first on that
// thread: the core or priority that makes the comparison fair differs
// between benchmarks.
class EchoFloor
{
public:
    explicit EchoFloor(const std::function<void()>& placeEchoThread);
    ~EchoFloor();
    EchoFloor(const EchoFloor&) = delete;
    EchoFloor& operator=(const EchoFloor&) = delete;

    // Microseconds until all of `message` is back.
    double roundTrip(const QByteArray& message);

private:
    int listener_ = -1;
    int client_ = -1;
    std::thread echo_;
};

// Standard output into a pipe that a thread drains, as when a tool reads the
// program's output live; the results go to the terminal through `report`.
class DrainedStdout
{
public:
    DrainedStdout();
    ~DrainedStdout();
    bool isReady() const { return report_ != nullptr; }
    FILE* report() const { return report_; }
    // Closes the pipe's last writer and waits until the reader has all.
    void finish();
    long linesDrained() const { return lines_.load(); }

private:
    FILE* report_ = nullptr;
    std::thread drain_;
    std::atomic<long> lines_{0};
};

// The settings of use, but on a free port.
ServerSettings onAnyPort();

// Starts `server`, and once it listens runs `client` with its port on a
// thread pinned to core 0 while this thread serves; returns when the client
// is done and the event loop has ended.
void serveWhileClientRuns(WebSocketViewModel& server,
                          const std::function<void(quint16 port)>& client);

// A server on a thread with an event loop of its own, as in the program,
// listening on a free port.
class ServerThread
{
public:
    ServerThread(EventLayer& events, DiagnosticLog& log);
    ~ServerThread();
    ServerThread(const ServerThread&) = delete;
    ServerThread& operator=(const ServerThread&) = delete;

    // 0 when the server could not listen.
    quint16 port() const { return port_; }
    // Runs `work` on the server's thread and returns once it is done.
    void run(const std::function<void()>& work);

private:
    QThread thread_;
    QObject host_;
    std::unique_ptr<WebSocketViewModel> server_;
    quint16 port_ = 0;
};

struct HandshakeFigures
{
    Percentiles floor;
    Percentiles handshake;
};

// `samples` hsk round trips on the WebSocket `fd`, each beside one of the
// floor's, so that both meet the same noise. `ok` turns false when the
// server stops answering.
HandshakeFigures handshakesBesideFloor(int fd, QByteArray& buffer, EchoFloor& floor, int samples,
                                       bool& ok);

// One key message at a time, with an hsk after it to know it was handled:
// each timed from sending to `lastPost`, the steady-clock stamp the event
// layer writes as it posts.
Percentiles keysToEventLayer(int fd, QByteArray& buffer, const std::atomic<Clock::rep>& lastPost,
                             int samples, bool& ok);
