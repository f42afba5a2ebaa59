#include "Desktop.h"

#include <QDBusConnectionInterface>
#include <QFile>
#include <QFileInfo>
#include <QTest>

namespace {

const QString kWaylandSocket = QStringLiteral("wayland-kestrelio");

} // namespace

Desktop::Desktop(const QString& currentDesktop)
    : currentDesktop_(currentDesktop), connectionName_(QStringLiteral("desktop-") + currentDesktop),
      connection_(QDBusConnection::connectToBus(bus_.address(), connectionName_))
{}

Desktop::~Desktop()
{
    QDBusConnection::disconnectFromBus(connectionName_);
    for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) {
        (*it)->terminate();
        if (!(*it)->waitForFinished(3000)) {
            (*it)->kill();
            (*it)->waitForFinished(3000);
        }
    }
}

QString Desktop::waylandSocket() const
{
    return kWaylandSocket;
}

QProcessEnvironment Desktop::environment(const QStringList& extra) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime_.path());
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus_.address());
    environment.insert(QStringLiteral("WAYLAND_DISPLAY"), kWaylandSocket);
    environment.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), currentDesktop_);
    // What the desktop writes stays with this session.
    for (const char* name :
         {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"})
        environment.insert(QString::fromLatin1(name),
                           runtime_.filePath(QString::fromLatin1(name).toLower()));
    // Software rendering: no GPU here, and none needed.
    environment.insert(QStringLiteral("LIBGL_ALWAYS_SOFTWARE"), QStringLiteral("1"));
    environment.insert(QStringLiteral("GSK_RENDERER"), QStringLiteral("cairo"));
    for (const QString& pair : extra)
        environment.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
    return environment;
}

QStringList Desktop::programEnvironment() const
{
    return {QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + bus_.address(),
            QStringLiteral("XDG_RUNTIME_DIR=") + runtime_.path(),
            QStringLiteral("XDG_SESSION_TYPE=wayland"),
            QStringLiteral("XDG_CURRENT_DESKTOP=") + currentDesktop_};
}

void Desktop::start(const QString& program, const QStringList& arguments,
                    const QStringList& extraEnvironment)
{
    auto& process = processes_.emplace_back(std::make_unique<QProcess>());
    process->setProcessEnvironment(environment(extraEnvironment));
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardOutputFile(runtime_.filePath(QFileInfo(program).fileName() + ".log"));
    process->start(program, arguments);
}

bool Desktop::waitForName(const QString& busName, int timeoutMs)
{
    return QTest::qWaitFor(
        [&] { return connection_.interface()->isServiceRegistered(busName).value(); }, timeoutMs);
}

bool Desktop::waitForWaylandSocket(int timeoutMs) const
{
    return QTest::qWaitFor([&] { return QFile::exists(runtime_.filePath(kWaylandSocket)); },
                           timeoutMs);
}

QByteArray Desktop::logs() const
{
    QByteArray all;
    for (const auto& process : processes_) {
        QFile log(runtime_.filePath(QFileInfo(process->program()).fileName() + ".log"));
        if (log.open(QIODevice::ReadOnly))
            all +=
                "--- " + QFile::encodeName(process->program()) + "\n" + log.readAll().right(3000);
    }
    return all;
}

EventLoggingClient::EventLoggingClient(const Desktop& desktop)
{
    process_.setProcessEnvironment(desktop.environment());
    // Line-buffered, or the events sit in wev's stdio buffer.
    process_.start(QStringLiteral("stdbuf"), {QStringLiteral("-oL"), QStringLiteral("wev"),
                                              QStringLiteral("-f"), QStringLiteral("wl_keyboard"),
                                              QStringLiteral("-f"), QStringLiteral("wl_pointer")});
}

EventLoggingClient::~EventLoggingClient()
{
    process_.terminate();
    if (!process_.waitForFinished(3000)) {
        process_.kill();
        process_.waitForFinished(3000);
    }
}

bool EventLoggingClient::waitFor(const QByteArray& text, int timeoutMs)
{
    return QTest::qWaitFor(
        [&] {
            log += process_.readAllStandardOutput();
            return log.contains(text);
        },
        timeoutMs);
}
