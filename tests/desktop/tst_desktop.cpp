#include "PrivateBus.h"
#include "ProgramProcess.h"
#include "TestSupport.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>
#include <unistd.h>
#include <vector>

using namespace Qt::StringLiterals;

// The program headless on the desktops people have, each run for real with a
// bus, a Wayland socket and an accessibility bus of its own: GNOME's mutter
// and portals, and KDE Plasma's kwin and portals. There is no /dev/uinput and
// no X display, so input goes through the desktop's RemoteDesktop portal, into
// a Wayland client that logs what it receives (wev).
class DesktopTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void gnome();
    void kde_data();
    void kde();
};

namespace {

const QByteArray kGranted =
    "Input backend: RemoteDesktop portal (keyboard and scrolling through the desktop)";
const QByteArray kStopped = "Remote input was stopped by the desktop";
const QString kWaylandSocket = u"wayland-kestrelio"_s;

QDBusMessage call(QDBusConnection& bus, const QString& service, const QString& path,
                  const QString& interface, const QString& method, const QVariantList& arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return bus.call(message, QDBus::Block, 5000);
}

bool answered(const QDBusMessage& reply)
{
    return reply.type() == QDBusMessage::ReplyMessage;
}

// One desktop session; its processes end with it, the last started first.
class Desktop
{
public:
    // `name` as in XDG_CURRENT_DESKTOP.
    explicit Desktop(const QString& name)
        : name_(name), bus_(QDBusConnection::connectToBus(busDaemon_.address(), name))
    {}
    ~Desktop()
    {
        QDBusConnection::disconnectFromBus(name_);
        for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) {
            (*it)->terminate();
            if (!(*it)->waitForFinished(3000))
                (*it)->kill();
            (*it)->waitForFinished(3000);
        }
    }
    bool isReady() const { return runtime_.isValid() && bus_.isConnected(); }
    QString runtimeDir() const { return runtime_.path(); }
    QDBusConnection& bus() { return bus_; }

    QProcessEnvironment environment(const QStringList& extra = {}) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(u"DISPLAY"_s);
        environment.remove(u"QT_QPA_PLATFORM"_s);
        for (const QString& pair : programEnvironment() + extra)
            environment.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
        environment.insert(u"WAYLAND_DISPLAY"_s, kWaylandSocket);
        // No GPU here, and none needed.
        environment.insert(u"LIBGL_ALWAYS_SOFTWARE"_s, u"1"_s);
        environment.insert(u"GSK_RENDERER"_s, u"cairo"_s);
        // What the desktop writes stays with this session.
        for (const QString& name :
             {u"XDG_CONFIG_HOME"_s, u"XDG_DATA_HOME"_s, u"XDG_CACHE_HOME"_s, u"XDG_STATE_HOME"_s})
            environment.insert(name, runtime_.filePath(name.toLower()));
        return environment;
    }
    // The program's: this session's bus, and no display.
    QStringList programEnvironment() const
    {
        return {u"DBUS_SESSION_BUS_ADDRESS="_s + busDaemon_.address(),
                u"XDG_RUNTIME_DIR="_s + runtime_.path(), u"XDG_SESSION_TYPE=wayland"_s,
                u"XDG_CURRENT_DESKTOP="_s + name_};
    }

    void start(const QString& program, const QStringList& arguments,
               const QStringList& extraEnvironment = {})
    {
        auto& process = processes_.emplace_back(std::make_unique<QProcess>());
        process->setProcessEnvironment(environment(extraEnvironment));
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->setStandardOutputFile(logFile(program));
        process->start(program, arguments);
    }
    bool waitForName(const QString& name)
    {
        return QTest::qWaitFor([&] { return bus_.interface()->isServiceRegistered(name).value(); },
                               10000);
    }
    bool waitForWaylandSocket() const
    {
        return QTest::qWaitFor([&] { return QFile::exists(runtime_.filePath(kWaylandSocket)); },
                               10000);
    }
    // The end of each process's output, for a failure's report.
    QByteArray logs() const
    {
        QByteArray all;
        for (const auto& process : processes_) {
            QFile log(logFile(process->program()));
            if (log.open(QIODevice::ReadOnly))
                all += "\n--- " + QFile::encodeName(process->program()) + "\n" +
                       log.readAll().right(2000);
        }
        return all;
    }

private:
    QString logFile(const QString& program) const
    {
        return runtime_.filePath(QFileInfo(program).fileName() + u".log"_s);
    }

    QString name_;
    QTemporaryDir runtime_;
    PrivateBus busDaemon_;
    QDBusConnection bus_;
    std::vector<std::unique_ptr<QProcess>> processes_;
};

// wev, line-buffered, showing key and pointer events only.
struct EventLoggingClient
{
    explicit EventLoggingClient(const Desktop& desktop)
    {
        process.setProcessEnvironment(desktop.environment());
        process.start(u"stdbuf"_s,
                      {u"-oL"_s, u"wev"_s, u"-f"_s, u"wl_keyboard"_s, u"-f"_s, u"wl_pointer"_s});
    }
    ~EventLoggingClient()
    {
        process.kill();
        process.waitForFinished(3000);
    }
    bool waitFor(const QByteArray& text)
    {
        return QTest::qWaitFor(
            [&] {
                log += process.readAllStandardOutput();
                return log.contains(text);
            },
            5000);
    }

    QProcess process;
    QByteArray log;
};

// Answers the desktop's dialog through the accessibility bus.
bool pressInDialog(const Desktop& desktop, const QStringList& arguments)
{
    QProcess press;
    press.setProcessEnvironment(desktop.environment());
    press.setProcessChannelMode(QProcess::ForwardedChannels);
    press.start(u"/usr/bin/python3"_s,
                QStringList{QStringLiteral(KESTRELIO_DESKTOP_TESTS "/press_in_dialog.py")} +
                    arguments);
    return press.waitForFinished(15000) && press.exitStatus() == QProcess::NormalExit &&
           press.exitCode() == 0;
}

// The test's own devices on mutter's seat. Headless mutter has neither a
// keyboard nor a pointer until some device sends an event, and a client then
// gets that first key only inside wl_keyboard.enter; so Shift is tapped
// before the program types. The pointer is moved over the client, as a user
// would.
class MutterSeat
{
public:
    explicit MutterSeat(QDBusConnection& bus) : bus_(bus)
    {
        const QDBusMessage created = call(bus_, kService, u"/org/gnome/Mutter/RemoteDesktop"_s,
                                          kService, u"CreateSession"_s, {});
        session_ = created.arguments().value(0).value<QDBusObjectPath>().path();
    }
    // Both before any client binds the seat: one that sees the seat change
    // binds a second keyboard, and a key sent meanwhile can go missing.
    bool addKeyboardAndPointer()
    {
        constexpr uint kShift = 0xffe1;
        return send(u"Start"_s, {}) && send(u"NotifyKeyboardKeysym"_s, {kShift, true}) &&
               send(u"NotifyKeyboardKeysym"_s, {kShift, false}) &&
               send(u"NotifyPointerMotionRelative"_s, {-10000.0, -10000.0});
    }
    // From the corner to the middle of the screen, where a new window is placed.
    bool pointAtTheMiddle() { return send(u"NotifyPointerMotionRelative"_s, {640.0, 360.0}); }

private:
    bool send(const QString& method, const QVariantList& arguments)
    {
        return !session_.isEmpty() && answered(call(bus_, kService, session_,
                                                    kService + u".Session"_s, method, arguments));
    }

    const QString kService = u"org.gnome.Mutter.RemoteDesktop"_s;
    QDBusConnection& bus_;
    QString session_;
};

// A systemd-style scope, as a desktop's launcher makes for an application:
// from it the portal knows the program's app id. Removes what it made.
class AppScope
{
public:
    AppScope()
    {
        // Where systemd tracks units: the unified hierarchy, alone or beside
        // the legacy ones, else the named legacy one.
        QString path = u"/sys/fs/cgroup/systemd"_s;
        for (const QString& unified : {u"/sys/fs/cgroup"_s, u"/sys/fs/cgroup/unified"_s}) {
            if (QFile::exists(unified + u"/cgroup.procs"_s)) {
                path = unified;
                break;
            }
        }
        const uid_t uid = ::getuid();
        for (const QString& part :
             {u"user.slice"_s, u"user-%1.slice"_s.arg(uid), u"user@%1.service"_s.arg(uid),
              u"app.slice"_s, u"app-io.github.kestrelio.Kestrelio-%1.scope"_s.arg(::getpid())}) {
            path += u'/' + part;
            if (QDir(path).exists())
                continue;
            if (!QDir().mkdir(path))
                return;
            made_.prepend(path);
        }
        path_ = path;
    }
    ~AppScope()
    {
        for (const QString& path : made_)
            QDir().rmdir(path);
    }
    bool isValid() const { return !path_.isEmpty(); }
    // Moves itself into the scope, then runs the program.
    QStringList wrapper() const
    {
        return {u"sh"_s, u"-c"_s,
                u"echo $$ > '%1/cgroup.procs' && exec \"$0\" \"$@\""_s.arg(path_)};
    }

private:
    QString path_;
    QStringList made_;
};

// Started once input is granted, so that the client has the focus.
void typeAndScroll(Desktop& desktop, const std::function<bool()>& pointAtClient)
{
    EventLoggingClient client(desktop);
    QVERIFY2(client.waitFor("wl_keyboard] enter"), client.log);
    QVERIFY(pointAtClient());
    QVERIFY2(client.waitFor("wl_pointer] enter"), client.log);

    TestClient phone(QUrl(u"ws://127.0.0.1:3330"_s));
    QTRY_VERIFY_WITH_TIMEOUT(phone.isConnected(), 5000);
    phone.send(u"w"_s);
    phone.send(u"-w"_s);
    phone.send(u"mouse 0 1"_s);
    QVERIFY(phone.sync());
    QVERIFY2(client.waitFor("key: 25; state: 1 (pressed)"), client.log);
    QVERIFY2(client.waitFor("utf8: 'w'"), client.log);
    QVERIFY2(client.waitFor("key: 25; state: 0 (released)"), client.log);
    // Up: the wheel turns away from the user.
    QVERIFY2(client.waitFor("axis: 0 (vertical), value: -"), client.log);
}

} // namespace

// Plasma's system tray, as far as KDE's portal needs one: the portal shows
// its remote control item there, whose menu ends the session. plasmashell
// cannot run here; the test uses the item's menu as the tray would.
class Tray : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
public:
    explicit Tray(QDBusConnection& bus) : bus_(bus)
    {
        registered_ = bus_.registerObject(u"/StatusNotifierWatcher"_s, this,
                                          QDBusConnection::ExportAllContents) &&
                      bus_.registerService(u"org.kde.StatusNotifierWatcher"_s);
    }
    bool isRegistered() const { return registered_; }
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const { return items_; }

    // Clicks the entry `label` in the newest item's menu.
    bool choose(const QString& label)
    {
        if (items_.isEmpty())
            return false;
        const QString item = items_.last();
        const QString menu =
            call(bus_, item, u"/StatusNotifierItem"_s, u"org.freedesktop.DBus.Properties"_s,
                 u"Get"_s, {u"org.kde.StatusNotifierItem"_s, u"Menu"_s})
                .arguments()
                .value(0)
                .value<QDBusVariant>()
                .variant()
                .value<QDBusObjectPath>()
                .path();
        const QString dbusMenu = u"com.canonical.dbusmenu"_s;
        // Entries get their ids when the tray first asks for the layout.
        call(bus_, item, menu, dbusMenu, u"GetLayout"_s, {0, -1, QStringList()});
        for (int id = 1; id <= 8; ++id) {
            const QDBusMessage text =
                call(bus_, item, menu, dbusMenu, u"GetProperty"_s, {id, u"label"_s});
            if (text.arguments().value(0).value<QDBusVariant>().variant().toString().remove(u'&') ==
                label)
                return answered(call(bus_, item, menu, dbusMenu, u"Event"_s,
                                     {id, u"clicked"_s, QVariant::fromValue(QDBusVariant(0)), 0u}));
        }
        return false;
    }

public slots:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message)
    {
        // An item names its service, or only its path on the caller's connection.
        items_.append(service.startsWith(u'/') ? message.service() : service);
        emit StatusNotifierItemRegistered(items_.last());
    }
    void RegisterStatusNotifierHost(const QString&) {}

signals:
    void StatusNotifierItemRegistered(const QString& service);

private:
    QDBusConnection& bus_;
    QStringList items_;
    bool registered_ = false;
};

void DesktopTest::initTestCase()
{
    QVERIFY2(enterNetworkOfItsOwn(), "needs root for a network namespace");
}

void DesktopTest::gnome()
{
    Desktop desktop(u"GNOME"_s);
    QVERIFY2(desktop.isReady(), "no runtime directory or bus");
    desktop.start(u"mutter"_s,
                  {u"--headless"_s, u"--wayland"_s, u"--no-x11"_s, u"--virtual-monitor"_s,
                   u"1280x720"_s, u"--wayland-display="_s + kWaylandSocket});
    desktop.start(u"/usr/libexec/at-spi-bus-launcher"_s, {});
    QVERIFY2(desktop.waitForName(u"org.gnome.Mutter.RemoteDesktop"_s), desktop.logs());
    MutterSeat seat(desktop.bus());
    QVERIFY2(seat.addKeyboardAndPointer(), desktop.logs());
    QVERIFY2(desktop.waitForName(u"org.a11y.Bus"_s), desktop.logs());
    // The backend first: the portal looks for it once, at its start.
    desktop.start(u"/usr/libexec/xdg-desktop-portal-gnome"_s, {});
    QVERIFY2(desktop.waitForName(u"org.freedesktop.impl.portal.desktop.gnome"_s), desktop.logs());
    desktop.start(u"/usr/libexec/xdg-desktop-portal"_s, {});
    QVERIFY2(desktop.waitForName(u"org.freedesktop.portal.Desktop"_s), desktop.logs());

    ProgramProcess program(desktop.programEnvironment());
    program.start({u"--headless"_s});
    QVERIFY2(pressInDialog(desktop, {u"--window"_s, u"Remote desktop"_s, u"--switch"_s,
                                     u"Allow remote interaction"_s, u"--press"_s, u"Share"_s}),
             program.output + desktop.logs());
    QVERIFY2(program.waitFor(kGranted), program.output + desktop.logs());
    typeAndScroll(desktop, [&] { return seat.pointAtTheMiddle(); });
    if (QTest::currentTestFailed())
        return;
    QVERIFY(program.quit());
}

void DesktopTest::kde_data()
{
    QTest::addColumn<bool>("inAppScope");
    // KDE grants a program without an app id at once.
    QTest::newRow("started from a terminal") << false;
    QTest::newRow("started by the launcher, through the dialog") << true;
}

void DesktopTest::kde()
{
    QFETCH(bool, inAppScope);
    Desktop desktop(u"KDE"_s);
    QVERIFY2(desktop.isReady(), "no runtime directory or bus");
    // A copy without the binary's file capability (cap_sys_resource), which
    // a container refuses to grant.
    const QString kwin = desktop.runtimeDir() + u"/kwin_wayland"_s;
    QVERIFY(QFile::copy(u"/usr/bin/kwin_wayland"_s, kwin));
    desktop.start(kwin, {u"--virtual"_s, u"--width"_s, u"1280"_s, u"--height"_s, u"720"_s,
                         u"--socket"_s, kWaylandSocket, u"--no-lockscreen"_s,
                         u"--no-global-shortcuts"_s, u"--no-kactivities"_s});
    desktop.start(u"/usr/libexec/at-spi-bus-launcher"_s, {});
    Tray tray(desktop.bus());
    QVERIFY(tray.isRegistered());
    QVERIFY2(desktop.waitForWaylandSocket(), desktop.logs());
    QVERIFY2(desktop.waitForName(u"org.a11y.Bus"_s), desktop.logs());
    desktop.start(QStringLiteral(KESTRELIO_ARCH_LIBEXEC "/xdg-desktop-portal-kde"), {},
                  {u"QT_QPA_PLATFORM=wayland"_s, u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"_s});
    QVERIFY2(desktop.waitForName(u"org.freedesktop.impl.portal.desktop.kde"_s), desktop.logs());
    desktop.start(u"/usr/libexec/xdg-desktop-portal"_s, {});
    QVERIFY2(desktop.waitForName(u"org.freedesktop.portal.Desktop"_s), desktop.logs());

    AppScope scope;
    ProgramProcess program(desktop.programEnvironment());
    if (inAppScope) {
        QVERIFY2(scope.isValid(), "cannot make a cgroup");
        program.start({u"--headless"_s}, scope.wrapper());
        QVERIFY2(pressInDialog(desktop, {u"--window"_s, u"Remote control requested"_s, u"--press"_s,
                                         u"Share"_s}),
                 program.output + desktop.logs());
    } else {
        program.start({u"--headless"_s});
    }
    QVERIFY2(program.waitFor(kGranted), program.output + desktop.logs());
    // kwin puts the pointer, and a new window, in the middle of the screen.
    typeAndScroll(desktop, [] { return true; });
    if (QTest::currentTestFailed())
        return;

    // The user ends remote control from the tray.
    QTRY_VERIFY_WITH_TIMEOUT(!tray.items().isEmpty(), 5000);
    QVERIFY2(tray.choose(u"End"_s), desktop.logs());
    QVERIFY2(program.waitFor(kStopped, 5000), program.output + desktop.logs());
    QVERIFY(program.quit());
}

QTEST_GUILESS_MAIN(DesktopTest)
#include "tst_desktop.moc"
