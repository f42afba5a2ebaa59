#pragma once

#include "common/DiagnosticLog.h"
#include "sched/RealtimeGuard.h"

#include <QEventLoop>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// A thread with an event loop of its own for the server and its key and
// scroll synthesis, so that it can run at real-time priority while nothing
// else of the program does. It asks for that priority first and prints what
// it got.
//
// Work is handed over through an eventfd and a mutex, and the thread is a
// plain one that Qt adopts, so that ThreadSanitizer sees every hand-over
// (it cannot see inside Qt's event queue and QThread).
class NetworkThread
{
public:
    explicit NetworkThread(DiagnosticLog& log);
    // Ends the event loop and joins; objects made on the thread must be gone.
    ~NetworkThread();

    // Runs `work` on the thread and returns once it is done.
    void run(const std::function<void()>& work);

private:
    void loop();
    void runHandedOverWork();

    int wakeUp_ = -1;
    std::mutex mutex_;
    std::condition_variable done_;
    const std::function<void()>* work_ = nullptr;
    QEventLoop* events_ = nullptr;
    std::unique_ptr<RealtimeGuard> realtimeGuard_;
    std::thread thread_;
};
