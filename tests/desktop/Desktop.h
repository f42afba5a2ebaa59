#pragma once

#include "PrivateBus.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// One desktop session, headless: its processes share a runtime directory, a
// session bus and a Wayland socket, and end with it, the last started first.
class Desktop
{
public:
    // `currentDesktop` as in XDG_CURRENT_DESKTOP ("GNOME", "KDE").
    explicit Desktop(const QString& currentDesktop);
    ~Desktop();

    bool isReady() const { return runtime_.isValid() && bus_.isRunning(); }
    QString runtimeDir() const { return runtime_.path(); }
    QString waylandSocket() const;
    QDBusConnection& bus() { return connection_; }

    // What a desktop program sees; `extra` adds NAME=value pairs.
    QProcessEnvironment environment(const QStringList& extra = {}) const;
    // What the program is given: the bus and the runtime directory of this
    // session, a Wayland session type, and no display.
    QStringList programEnvironment() const;

    void start(const QString& program, const QStringList& arguments,
               const QStringList& extraEnvironment = {});
    bool waitForName(const QString& busName, int timeoutMs = 10000);
    bool waitForWaylandSocket(int timeoutMs = 10000) const;
    // The output of every process so far, for a failure's report.
    QByteArray logs() const;

private:
    QString currentDesktop_;
    QTemporaryDir runtime_;
    PrivateBus bus_;
    QString connectionName_;
    QDBusConnection connection_;
    std::vector<std::unique_ptr<QProcess>> processes_;
};

// A Wayland client that logs the key and pointer events it receives (wev).
class EventLoggingClient
{
public:
    explicit EventLoggingClient(const Desktop& desktop);
    ~EventLoggingClient();
    // Collects the log until `text` is in it.
    bool waitFor(const QByteArray& text, int timeoutMs = 5000);

    QByteArray log;

private:
    QProcess process_;
};
