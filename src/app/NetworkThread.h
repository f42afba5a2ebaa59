#pragma once

#include "common/DiagnosticLog.h"

#include <QObject>
#include <QThread>

#include <functional>

// A thread with an event loop of its own for the server and its key and
// scroll synthesis, so that it can run at real-time priority while nothing
// else of the program does. It asks for that priority first and prints what
// it got.
class NetworkThread
{
public:
    explicit NetworkThread(DiagnosticLog& log);
    // Quits the event loop and joins; objects made on the thread must be gone.
    ~NetworkThread();

    // Runs `work` on the thread and returns once it is done.
    void run(const std::function<void()>& work);

private:
    QThread thread_;
    QObject context_;
};
