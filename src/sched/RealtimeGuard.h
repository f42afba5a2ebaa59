#pragma once

#include "common/DiagnosticLog.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>

// Keeps real time for a thread with an event loop through floods it
// survives. The kernel drops a real-time thread that runs too long without
// waiting (RLIMIT_RTTIME); a flood keeps the loop from ever waiting, so after
// a bounded run of work the thread sleeps briefly, which also leaves the
// desktop its share of the core. Should one long piece of work trip the
// kernel all the same, the guard says so and asks for real time again once
// the thread's load is normal.
class RealtimeGuard : public QObject
{
    Q_OBJECT
public:
    struct Settings
    {
        std::chrono::microseconds runBudget{10'000};
        std::chrono::microseconds pause{2'000};
        // Normal load: the thread ran less than this share of each window.
        double calmShare = 0.25;
        std::chrono::milliseconds calmWindow{1'000};
        int calmWindowsNeeded = 2;
    };

    // Made on the thread it guards. `warnAfter` is the run after which the
    // kernel drops the thread; `requestAgain` asks for real time again (an
    // error text, empty on success).
    RealtimeGuard(std::chrono::microseconds warnAfter, std::function<QString()> requestAgain,
                  DiagnosticLog& log, Settings settings, QObject* parent = nullptr);
    RealtimeGuard(std::chrono::microseconds warnAfter, std::function<QString()> requestAgain,
                  DiagnosticLog& log, QObject* parent = nullptr)
        : RealtimeGuard(warnAfter, std::move(requestAgain), log, Settings(), parent)
    {}

private:
    void afterTurn();
    void checkLoad();

    std::chrono::microseconds warnAfter_;
    std::function<QString()> requestAgain_;
    DiagnosticLog& log_;
    Settings settings_;
    std::chrono::microseconds runBudget_;
    std::chrono::steady_clock::time_point lastLook_;
    qint64 cpuAtLastLook_ = 0;
    qint64 cpuAtRunStart_ = 0;
    long waits_ = 0;
    bool suspended_ = false;
    QTimer loadCheck_;
    qint64 cpuAtLoadCheck_ = 0;
    int calmWindows_ = 0;
};
