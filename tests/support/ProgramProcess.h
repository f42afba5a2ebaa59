#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <csignal>

// The real program as a user starts it. What it remembers stays with this
// run; it sees no display and no Wayland session unless the test gives one.
class ProgramProcess
{
public:
    // `environment` adds or overrides NAME=value pairs.
    explicit ProgramProcess(const QStringList& environment = {}, const QByteArray& display = {});
    ~ProgramProcess();

    // `wrapper` runs first and is handed the program (unshare, setpriv).
    void start(const QStringList& arguments = {}, const QStringList& wrapper = {});
    // Collects standard output until `text` is in it.
    bool waitFor(const QByteArray& text, int timeoutMs = 15000);
    // Whether it exits with `exitCode` within 5 s; collects the rest of its output.
    bool finished(int exitCode = 0);
    // Whether `signal` made it exit 0 in time.
    bool quit(int signal = SIGTERM);
    qint64 pid() const { return process.processId(); }
    // Where the program keeps its one-instance lock; another program given
    // the same finds it.
    QString runtimeDirectory() const { return runtime_.path(); }

    QProcess process;
    QByteArray output;

private:
    QTemporaryDir config_;
    // The one-instance lock lives here: programs of parallel tests never meet.
    QTemporaryDir runtime_;
};
