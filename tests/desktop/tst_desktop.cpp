#include "Desktop.h"
#include "ProgramProcess.h"
#include "TestSupport.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QTest>

#include <functional>
#include <unistd.h>

// The program headless on the desktops people have, each run for real with
// its own bus and Wayland socket: GNOME's mutter and portals, and KDE
// Plasma's kwin and portals. There is no /dev/uinput and no X display, so
// input goes through the desktop's RemoteDesktop portal, into a Wayland
// client that logs what it receives.
class DesktopTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void gnome();
    void kde_data();
    void kde();

private:
    // `pointAtClient` puts the pointer over the client once it shows.
    void typeAndScroll(Desktop& desktop, const std::function<bool()>& pointAtClient);
};

// Plasma's system tray, as far as KDE's portal needs one: the portal puts its
// "remote control" item here, whose menu ends the session. plasmashell
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
        registered_ = bus_.registerObject(QStringLiteral("/StatusNotifierWatcher"), this,
                                          QDBusConnection::ExportAllSlots |
                                              QDBusConnection::ExportAllProperties |
                                              QDBusConnection::ExportAllSignals) &&
                      bus_.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
    }
    bool isRegistered() const { return registered_; }
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const { return items_; }

    // Clicks the menu entry `label` of the newest item.
    bool choose(const QString& label);

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
    void StatusNotifierItemUnregistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    QDBusMessage call(const QString& service, const QString& path, const QString& interface,
                      const QString& method, const QVariantList& arguments)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        return bus_.call(message, QDBus::Block, 5000);
    }

    QDBusConnection& bus_;
    QStringList items_;
    bool registered_ = false;
};

bool Tray::choose(const QString& label)
{
    if (items_.isEmpty())
        return false;
    const QString item = items_.last();
    const QDBusMessage menuPath =
        call(item, QStringLiteral("/StatusNotifierItem"),
             QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
             {QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("Menu")});
    if (menuPath.type() != QDBusMessage::ReplyMessage)
        return false;
    const QString menu = menuPath.arguments()
                             .value(0)
                             .value<QDBusVariant>()
                             .variant()
                             .value<QDBusObjectPath>()
                             .path();
    const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");
    // The tray asks for the layout before it shows the menu; the entries get
    // their ids then.
    call(item, menu, menuInterface, QStringLiteral("GetLayout"), {0, -1, QStringList()});
    for (int id = 1; id <= 8; ++id) {
        const QDBusMessage text = call(item, menu, menuInterface, QStringLiteral("GetProperty"),
                                       {id, QStringLiteral("label")});
        if (text.type() != QDBusMessage::ReplyMessage ||
            text.arguments().value(0).value<QDBusVariant>().variant().toString().remove(u'&') !=
                label)
            continue;
        return call(item, menu, menuInterface, QStringLiteral("Event"),
                    {id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u})
                   .type() == QDBusMessage::ReplyMessage;
    }
    return false;
}

namespace {

const QByteArray kGranted =
    "Input backend: RemoteDesktop portal (keyboard and scrolling through the desktop)";
const QByteArray kStopped = "Remote input was stopped by the desktop";
const QString kAppId = QStringLiteral("io.github.kestrelio.Kestrelio");

// Answers the desktop's dialog through the accessibility bus.
bool pressInDialog(const Desktop& desktop, const QStringList& arguments)
{
    QProcess press;
    press.setProcessEnvironment(desktop.environment());
    press.setProcessChannelMode(QProcess::ForwardedChannels);
    press.start(QStringLiteral("/usr/bin/python3"),
                QStringList{QStringLiteral(KESTRELIO_DESKTOP_TESTS "/press_in_dialog.py")} +
                    arguments);
    return press.waitForFinished(15000) && press.exitStatus() == QProcess::NormalExit &&
           press.exitCode() == 0;
}

// Devices of the test's own on mutter's seat. Headless mutter has no keyboard
// or pointer until some device sends an event, and a client then gets that
// first key only inside wl_keyboard.enter; so the test taps Shift before the
// program types. It also moves the pointer over the window, as a user would.
class MutterSeat
{
public:
    explicit MutterSeat(QDBusConnection& bus) : bus_(bus)
    {
        const QDBusMessage created =
            bus_.call(QDBusMessage::createMethodCall(
                          kService, QStringLiteral("/org/gnome/Mutter/RemoteDesktop"), kService,
                          QStringLiteral("CreateSession")),
                      QDBus::Block, 5000);
        if (created.type() == QDBusMessage::ReplyMessage)
            session_ = created.arguments().value(0).value<QDBusObjectPath>().path();
    }
    bool tapShift()
    {
        constexpr uint kShift = 0xffe1;
        return call(QStringLiteral("Start"), {}) &&
               call(QStringLiteral("NotifyKeyboardKeysym"), {kShift, true}) &&
               call(QStringLiteral("NotifyKeyboardKeysym"), {kShift, false});
    }
    // To the middle of the 1280x720 screen, from its corner.
    bool pointAtTheMiddle()
    {
        return call(QStringLiteral("NotifyPointerMotionRelative"), {-10000.0, -10000.0}) &&
               call(QStringLiteral("NotifyPointerMotionRelative"), {640.0, 360.0});
    }

private:
    bool call(const QString& method, const QVariantList& arguments)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            kService, session_, kService + QStringLiteral(".Session"), method);
        message.setArguments(arguments);
        return !session_.isEmpty() &&
               bus_.call(message, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
    }

    const QString kService = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
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
        // The hierarchy in which systemd tracks units: the unified one, alone
        // or beside the legacy ones, else the named legacy one.
        QString root = QStringLiteral("/sys/fs/cgroup/systemd");
        for (const QString& unified :
             {QStringLiteral("/sys/fs/cgroup"), QStringLiteral("/sys/fs/cgroup/unified")}) {
            if (QFile::exists(unified + QStringLiteral("/cgroup.procs"))) {
                root = unified;
                break;
            }
        }
        QString path = root;
        const QString uid = QString::number(::getuid());
        for (const QString& part :
             {QStringLiteral("user.slice"), QStringLiteral("user-%1.slice").arg(uid),
              QStringLiteral("user@%1.service").arg(uid), QStringLiteral("app.slice"),
              QStringLiteral("app-%1-%2.scope").arg(kAppId).arg(::getpid())}) {
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
    // A wrapper that moves itself into the scope, then runs the program.
    QStringList wrapper() const
    {
        return {QStringLiteral("sh"), QStringLiteral("-c"),
                QStringLiteral("echo $$ > '%1/cgroup.procs' && exec \"$0\" \"$@\"").arg(path_)};
    }

private:
    QString path_;
    QStringList made_;
};

} // namespace

void DesktopTest::initTestCase()
{
    QVERIFY2(enterNetworkOfItsOwn(), "needs root for a network namespace");
}

void DesktopTest::typeAndScroll(Desktop& desktop, const std::function<bool()>& pointAtClient)
{
    // Started once input is granted, so that it has the focus; a new window
    // is placed in the middle of the screen.
    EventLoggingClient client(desktop);
    QVERIFY2(client.waitFor("wl_keyboard] enter"), client.log);
    QVERIFY(pointAtClient());
    QVERIFY2(client.waitFor("wl_pointer] enter"), client.log);

    TestClient phone(QUrl(QStringLiteral("ws://127.0.0.1:3330")));
    QTRY_VERIFY_WITH_TIMEOUT(phone.isConnected(), 5000);
    phone.send(QStringLiteral("w"));
    phone.send(QStringLiteral("-w"));
    phone.send(QStringLiteral("mouse 0 1"));
    QVERIFY(phone.sync());
    QVERIFY2(client.waitFor("key: 25; state: 1 (pressed)"), client.log);
    QVERIFY2(client.waitFor("utf8: 'w'"), client.log);
    QVERIFY2(client.waitFor("key: 25; state: 0 (released)"), client.log);
    // One notch up: the wheel turns away from the user.
    QVERIFY2(client.waitFor("axis: 0 (vertical), value: -"), client.log);
}

void DesktopTest::gnome()
{
    Desktop desktop(QStringLiteral("GNOME"));
    QVERIFY2(desktop.isReady(), "no runtime directory or bus");
    desktop.start(QStringLiteral("mutter"),
                  {QStringLiteral("--headless"), QStringLiteral("--wayland"),
                   QStringLiteral("--no-x11"), QStringLiteral("--virtual-monitor"),
                   QStringLiteral("1280x720"),
                   QStringLiteral("--wayland-display=") + desktop.waylandSocket()});
    desktop.start(QStringLiteral("/usr/libexec/at-spi-bus-launcher"), {});
    QVERIFY2(desktop.waitForName(QStringLiteral("org.gnome.Mutter.RemoteDesktop")), desktop.logs());
    MutterSeat seat(desktop.bus());
    QVERIFY2(seat.tapShift(), desktop.logs());
    QVERIFY2(desktop.waitForName(QStringLiteral("org.a11y.Bus")), desktop.logs());
    // The backend first: the portal looks for it once, at its start.
    desktop.start(QStringLiteral("/usr/libexec/xdg-desktop-portal-gnome"), {});
    QVERIFY2(desktop.waitForName(QStringLiteral("org.freedesktop.impl.portal.desktop.gnome")),
             desktop.logs());
    desktop.start(QStringLiteral("/usr/libexec/xdg-desktop-portal"), {});
    QVERIFY2(desktop.waitForName(QStringLiteral("org.freedesktop.portal.Desktop")), desktop.logs());

    ProgramProcess program(desktop.programEnvironment());
    program.start({QStringLiteral("--headless")});
    QVERIFY2(pressInDialog(desktop,
                           {QStringLiteral("--switch"), QStringLiteral("Allow remote interaction"),
                            QStringLiteral("--press"), QStringLiteral("Share")}),
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
    Desktop desktop(QStringLiteral("KDE"));
    QVERIFY2(desktop.isReady(), "no runtime directory or bus");
    // A copy without the binary's file capability (cap_sys_resource), which
    // a container refuses to grant.
    const QString kwin = desktop.runtimeDir() + QStringLiteral("/kwin_wayland");
    QVERIFY(QFile::copy(QStringLiteral("/usr/bin/kwin_wayland"), kwin));
    const QStringList qtWayland = {QStringLiteral("QT_QPA_PLATFORM=wayland"),
                                   QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1")};
    desktop.start(kwin,
                  {QStringLiteral("--virtual"), QStringLiteral("--width"), QStringLiteral("1280"),
                   QStringLiteral("--height"), QStringLiteral("720"), QStringLiteral("--socket"),
                   desktop.waylandSocket(), QStringLiteral("--no-lockscreen"),
                   QStringLiteral("--no-global-shortcuts"), QStringLiteral("--no-kactivities")});
    desktop.start(QStringLiteral("/usr/libexec/at-spi-bus-launcher"), {});
    Tray tray(desktop.bus());
    QVERIFY(tray.isRegistered());
    QVERIFY2(desktop.waitForWaylandSocket(), desktop.logs());
    QVERIFY2(desktop.waitForName(QStringLiteral("org.a11y.Bus")), desktop.logs());
    desktop.start(QStringLiteral("/usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde"), {},
                  qtWayland);
    QVERIFY2(desktop.waitForName(QStringLiteral("org.freedesktop.impl.portal.desktop.kde")),
             desktop.logs());
    desktop.start(QStringLiteral("/usr/libexec/xdg-desktop-portal"), {});
    QVERIFY2(desktop.waitForName(QStringLiteral("org.freedesktop.portal.Desktop")), desktop.logs());

    AppScope scope;
    ProgramProcess program(desktop.programEnvironment());
    if (inAppScope) {
        QVERIFY2(scope.isValid(), "cannot make a cgroup");
        program.start({QStringLiteral("--headless")}, scope.wrapper());
        QVERIFY2(pressInDialog(desktop, {QStringLiteral("--press"), QStringLiteral("Share")}),
                 program.output + desktop.logs());
    } else {
        program.start({QStringLiteral("--headless")});
    }
    QVERIFY2(program.waitFor(kGranted), program.output + desktop.logs());
    typeAndScroll(desktop, [] { return true; });
    if (QTest::currentTestFailed())
        return;

    // The user ends remote control from the tray.
    QTRY_VERIFY_WITH_TIMEOUT(!tray.items().isEmpty(), 5000);
    QVERIFY2(tray.choose(QStringLiteral("End")), desktop.logs());
    QVERIFY2(program.waitFor(kStopped, 5000), program.output + desktop.logs());
    QVERIFY(program.quit());
}

QTEST_GUILESS_MAIN(DesktopTest)
#include "tst_desktop.moc"
