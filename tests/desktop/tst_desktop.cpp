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
#include <QScopeGuard>
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
    void initTestCase() { QVERIFY2(enterNetworkOfItsOwn(), "needs root for a network namespace"); }
    void gnome();
    void kde_data();
    void kde();
};

namespace {

const QByteArray kGranted =
    "Input backend: RemoteDesktop portal (keyboard and scrolling through the desktop)";
const QString kWaylandSocket = u"wayland-kestrelio"_s;

QDBusMessage call(QDBusConnection& bus, const QString& service, const QString& path,
                  const QString& interface, const QString& method, const QVariantList& arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return bus.call(message, QDBus::Block, 5000);
}

// A reply's first argument, unwrapped from its variant.
QVariant unwrapped(const QDBusMessage& reply)
{
    return reply.arguments().value(0).value<QDBusVariant>().variant();
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

    // Whether `busName`, if given, appears on the bus within 10 s.
    bool start(const QString& program, const QStringList& arguments, const QString& busName = {},
               const QStringList& extraEnvironment = {})
    {
        auto& process = processes_.emplace_back(std::make_unique<QProcess>());
        process->setProcessEnvironment(environment(extraEnvironment));
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->setStandardOutputFile(logFile(program));
        process->start(program, arguments);
        return busName.isEmpty() ||
               QTest::qWaitFor(
                   [&] { return bus_.interface()->isServiceRegistered(busName).value(); }, 10000);
    }
    // The accessibility bus, the desktop's portal backend, then the portal,
    // which looks for its backend once, at its start.
    bool startPortals(const QString& backend, const QString& backendName,
                      const QStringList& backendEnvironment = {})
    {
        return start(u"/usr/libexec/at-spi-bus-launcher"_s, {}, u"org.a11y.Bus"_s) &&
               start(backend, {}, backendName, backendEnvironment) &&
               start(u"/usr/libexec/xdg-desktop-portal"_s, {}, u"org.freedesktop.portal.Desktop"_s);
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
        for (const QString& unified : {u"/sys/fs/cgroup/unified"_s, u"/sys/fs/cgroup"_s})
            if (QFile::exists(unified + u"/cgroup.procs"_s))
                path = unified;
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
    // wev, line-buffered, showing key and pointer events only.
    QProcess client;
    client.setProcessEnvironment(desktop.environment());
    client.start(u"stdbuf"_s,
                 {u"-oL"_s, u"wev"_s, u"-f"_s, u"wl_keyboard"_s, u"-f"_s, u"wl_pointer"_s});
    const auto end = qScopeGuard([&] {
        client.kill();
        client.waitForFinished(3000);
    });
    QByteArray log;
    const auto shows = [&](const QByteArray& text) {
        return QTest::qWaitFor(
            [&] { return (log += client.readAllStandardOutput()).contains(text); }, 5000);
    };
    QVERIFY2(shows("wl_keyboard] enter"), log);
    QVERIFY(pointAtClient());
    QVERIFY2(shows("wl_pointer] enter"), log);

    TestClient phone(QUrl(u"ws://127.0.0.1:3330"_s));
    QTRY_VERIFY_WITH_TIMEOUT(phone.isConnected(), 5000);
    for (const QString& message : {u"w"_s, u"-w"_s, u"mouse 0 1"_s})
        phone.send(message);
    QVERIFY(phone.sync());
    // Up: the wheel turns away from the user.
    for (const char* event : {"key: 25; state: 1 (pressed)", "utf8: 'w'",
                              "key: 25; state: 0 (released)", "axis: 0 (vertical), value: -"})
        QVERIFY2(shows(event), QByteArray(event) + " is missing from:\n" + log);
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
        const QString item = items_.value(items_.size() - 1);
        const QString menu = unwrapped(call(bus_, item, u"/StatusNotifierItem"_s,
                                            u"org.freedesktop.DBus.Properties"_s, u"Get"_s,
                                            {u"org.kde.StatusNotifierItem"_s, u"Menu"_s}))
                                 .value<QDBusObjectPath>()
                                 .path();
        const QString dbusMenu = u"com.canonical.dbusmenu"_s;
        // Entries get their ids when the tray first asks for the layout.
        call(bus_, item, menu, dbusMenu, u"GetLayout"_s, {0, -1, QStringList()});
        for (int id = 1; id <= 8; ++id) {
            if (unwrapped(call(bus_, item, menu, dbusMenu, u"GetProperty"_s, {id, u"label"_s}))
                    .toString()
                    .remove(u'&') == label)
                return call(bus_, item, menu, dbusMenu, u"Event"_s,
                            {id, u"clicked"_s, QVariant::fromValue(QDBusVariant(0)), 0u})
                           .type() == QDBusMessage::ReplyMessage;
        }
        return false;
    }

public slots:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message)
    {
        // An item names its service, or only its path on the caller's connection.
        items_.append(service.startsWith(u'/') ? message.service() : service);
    }

private:
    QDBusConnection& bus_;
    QStringList items_;
    bool registered_ = false;
};

void DesktopTest::gnome()
{
    Desktop desktop(u"GNOME"_s);
    QVERIFY2(desktop.isReady(), "no runtime directory or bus");
    const QString service = u"org.gnome.Mutter.RemoteDesktop"_s;
    QVERIFY2(desktop.start(u"mutter"_s,
                           {u"--headless"_s, u"--wayland"_s, u"--no-x11"_s, u"--virtual-monitor"_s,
                            u"1280x720"_s, u"--wayland-display="_s + kWaylandSocket},
                           service),
             desktop.logs());
    // The test's own devices on mutter's seat. Headless mutter has neither a
    // keyboard nor a pointer until some device sends an event, and a client
    // then gets that first key only inside wl_keyboard.enter; so Shift is
    // tapped before the program types. Both before any client binds the seat:
    // one that sees the seat change binds a second keyboard, and a key sent
    // meanwhile can go missing.
    const QDBusMessage created = call(desktop.bus(), service, u"/org/gnome/Mutter/RemoteDesktop"_s,
                                      service, u"CreateSession"_s, {});
    const QString session = created.arguments().value(0).value<QDBusObjectPath>().path();
    const auto send = [&](const QString& method, const QVariantList& arguments) {
        return call(desktop.bus(), service, session, service + u".Session"_s, method, arguments)
                   .type() == QDBusMessage::ReplyMessage;
    };
    constexpr uint kShift = 0xffe1;
    QVERIFY2(send(u"Start"_s, {}) && send(u"NotifyKeyboardKeysym"_s, {kShift, true}) &&
                 send(u"NotifyKeyboardKeysym"_s, {kShift, false}) &&
                 send(u"NotifyPointerMotionRelative"_s, {-10000.0, -10000.0}),
             desktop.logs());
    QVERIFY2(desktop.startPortals(u"/usr/libexec/xdg-desktop-portal-gnome"_s,
                                  u"org.freedesktop.impl.portal.desktop.gnome"_s),
             desktop.logs());

    ProgramProcess program(desktop.programEnvironment());
    program.start({u"--headless"_s});
    QVERIFY2(pressInDialog(desktop, {u"--window"_s, u"Remote desktop"_s, u"--switch"_s,
                                     u"Allow remote interaction"_s, u"--press"_s, u"Share"_s}),
             program.output + desktop.logs());
    QVERIFY2(program.waitFor(kGranted), program.output + desktop.logs());
    // The pointer goes from the corner to the middle, where a new window is
    // placed, as a user would move it.
    typeAndScroll(desktop, [&] { return send(u"NotifyPointerMotionRelative"_s, {640.0, 360.0}); });
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
    Tray tray(desktop.bus());
    QVERIFY(tray.isRegistered());
    QVERIFY2(
        QTest::qWaitFor([&] { return QFile::exists(desktop.runtimeDir() + u'/' + kWaylandSocket); },
                        10000),
        desktop.logs());
    QVERIFY2(desktop.startPortals(
                 QStringLiteral(KESTRELIO_ARCH_LIBEXEC "/xdg-desktop-portal-kde"),
                 u"org.freedesktop.impl.portal.desktop.kde"_s,
                 {u"QT_QPA_PLATFORM=wayland"_s, u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"_s}),
             desktop.logs());

    AppScope scope;
    ProgramProcess program(desktop.programEnvironment());
    QVERIFY2(!inAppScope || scope.isValid(), "cannot make a cgroup");
    program.start({u"--headless"_s}, inAppScope ? scope.wrapper() : QStringList());
    if (inAppScope)
        QVERIFY2(pressInDialog(desktop, {u"--window"_s, u"Remote control requested"_s, u"--press"_s,
                                         u"Share"_s}),
                 program.output + desktop.logs());
    QVERIFY2(program.waitFor(kGranted), program.output + desktop.logs());
    // kwin puts the pointer, and a new window, in the middle of the screen.
    typeAndScroll(desktop, [] { return true; });
    if (QTest::currentTestFailed())
        return;

    // The user ends remote control from the tray.
    QTRY_VERIFY_WITH_TIMEOUT(!tray.items().isEmpty(), 5000);
    QVERIFY2(tray.choose(u"End"_s), desktop.logs());
    QVERIFY2(program.waitFor("Remote input was stopped by the desktop", 5000),
             program.output + desktop.logs());
    QVERIFY(program.quit());
}

QTEST_GUILESS_MAIN(DesktopTest)
#include "tst_desktop.moc"
