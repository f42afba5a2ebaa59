#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <cstdio>
#include <thread>

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
