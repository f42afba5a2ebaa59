#include "FakePortal.h"
#include "ProgramProcess.h"
#include "TestSupport.h"
#include "XTestSupport.h"
#include "common/AppSettings.h"
#include "input/ActiveInputLayer.h"
#include "input/portal/PortalInput.h"

#include <QTemporaryDir>
#include <QTest>

#include <linux/input-event-codes.h>

// Input through the desktop's RemoteDesktop portal, against a fake desktop on
// a private session bus.
class PortalTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void typesAndScrollsOnceAllowed_data();
    void typesAndScrollsOnceAllowed();
    void desktopEndsTheSession();
    void unusablePortalFallsBack_data();
    void unusablePortalFallsBack();
    void programTypesThroughThePortal();

private:
    QTemporaryDir config_;
    std::unique_ptr<PrivateBus> bus_;
};

namespace {

const QString kGranted = QStringLiteral(
    "Input backend: RemoteDesktop portal (keyboard and scrolling through the desktop)");
const QString kStopped = QStringLiteral("Remote input was stopped by the desktop");
const QString kTokenKey = QStringLiteral("portal/restore_token");

// The program's side: a portal session on its own connection, with a fallback
// that only says it was used.
struct PortalClient
{
    explicit PortalClient(const QString& address)
        : name(QStringLiteral("client-%1").arg(++count)),
          active(std::make_unique<ActiveInputLayer>())
    {
        new PortalInput(
            *active, QDBusConnection::connectToBus(address, name),
            [this] {
                ++fallbacks;
                return InputBackend{std::make_unique<NullEventLayer>(), "fallback", {}};
            },
            log);
    }
    ~PortalClient()
    {
        active.reset();
        QDBusConnection::disconnectFromBus(name);
    }

    bool waitFor(const QString& line)
    {
        return QTest::qWaitFor([&] { return log.lines.contains(line); }, 5000);
    }
    void key(quint16 code, bool down) { active->post(KeyEvent{code, down}); }

    static inline int count = 0;
    QString name;
    RecordingLog log;
    std::unique_ptr<ActiveInputLayer> active;
    int fallbacks = 0;
};

using Order = PortalBehaviour::ResponseOrder;

} // namespace

void PortalTest::initTestCase()
{
    QVERIFY(config_.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config_.path()));
    bus_ = std::make_unique<PrivateBus>();
    QVERIFY2(bus_->isRunning(), "dbus-daemon did not start");
}

void PortalTest::init()
{
    AppSettings().setValue(kTokenKey, "token-0");
}

void PortalTest::typesAndScrollsOnceAllowed_data()
{
    QTest::addColumn<PortalBehaviour>("behaviour");
    QTest::addColumn<QVariant>("tokenHandedBack");
    QTest::newRow("response after the reply") << PortalBehaviour{} << QVariant("token-0");
    QTest::newRow("response before the reply")
        << PortalBehaviour{.order = Order::BeforeReply} << QVariant("token-0");
    QTest::newRow("response on another path")
        << PortalBehaviour{.order = Order::OnAnotherPath} << QVariant("token-0");
    QTest::newRow("first version, without tokens")
        << PortalBehaviour{.version = 1, .restoreToken = {}} << QVariant();
}

void PortalTest::typesAndScrollsOnceAllowed()
{
    QFETCH(PortalBehaviour, behaviour);
    QFETCH(QVariant, tokenHandedBack);
    FakePortal desktop(bus_->address(), behaviour);
    QVERIFY(desktop.isRegistered());
    {
        PortalClient client(bus_->address());
        QCOMPARE(client.active->summary(), PortalInput::waitingText());
        client.key(KEY_W, true); // before the user answered: dropped
        QVERIFY(client.waitFor(kGranted));
        QCOMPARE(client.log.lines.first(), PortalInput::waitingText());
        // Only a desktop that keeps no token is said to ask again.
        const QString forgetful = PortalInput::forgetfulDesktopText();
        const bool remembers = behaviour.version >= 2;
        QCOMPARE(client.log.lines.count(forgetful), remembers ? 0 : 1);
        QCOMPARE(client.active->summary(), kGranted.mid(15) + (remembers ? "" : '\n' + forgetful));

        QCOMPARE(desktop.calls(), QStringList({"CreateSession", "SelectDevices", "Start"}));
        const QVariantMap select = desktop.options("SelectDevices");
        QCOMPARE(select.value("types"), QVariant(3u));
        QCOMPARE(select.value("persist_mode"), QVariant(2u));
        QCOMPARE(select.value("restore_token"), tokenHandedBack);
        QCOMPARE(desktop.options("Start").value("parent_window"), QVariant(QString()));
        // A token is good for one start: the new one replaces it, or none is kept.
        QCOMPARE(AppSettings().value(kTokenKey).toString(), behaviour.restoreToken);

        for (const InputEvent& event : QList<InputEvent>{
                 KeyEvent{KEY_W, true}, KeyEvent{KEY_W, false}, KeyEvent{KEY_KBD_LCD_MENU5, true},
                 ScrollEvent{50, 0}, ScrollEvent{0, 100},  // up; left, two detents
                 ScrollEvent{-30, 0}, ScrollEvent{-30, 0}, // a fraction kept, then down
                 PointerMotionEvent{100, -50}, PointerButtonEvent{BTN_MIDDLE, true}})
            client.active->post(event);
        QVERIFY(desktop.waitForCalls(11));
    }
    // On quit the session is closed.
    QCOMPARE(desktop.calls().mid(3),
             QStringList({"NotifyKeyboardKeycode 17 1", "NotifyKeyboardKeycode 17 0",
                          "NotifyKeyboardKeycode 700 1", "NotifyPointerAxisDiscrete 0 -1",
                          "NotifyPointerAxisDiscrete 1 -2", "NotifyPointerAxisDiscrete 0 1",
                          "NotifyPointerMotion 100 -50", "NotifyPointerButton 274 1", "Close"}));
}

void PortalTest::desktopEndsTheSession()
{
    FakePortal desktop(bus_->address(), {});
    PortalClient client(bus_->address());
    QVERIFY(client.waitFor(kGranted));
    desktop.closeSession();
    QVERIFY(client.waitFor(kStopped));
    QCOMPARE(client.active->summary(), kStopped);
    client.key(KEY_W, true);
    client.active->post(PointerMotionEvent{1, 1});
    QTest::qWait(200);
    QCOMPARE(desktop.calls(), QStringList({"CreateSession", "SelectDevices", "Start"}));
    QCOMPARE(client.fallbacks, 0);
}

void PortalTest::unusablePortalFallsBack_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<PortalBehaviour>("behaviour");
    QTest::addColumn<QString>("report");
    const QString unusable = "^The desktop's remote input portal cannot be used \\(.+\\)\\.$";
    const QString refused = "^Remote input was not allowed by the desktop\\. To allow it, start "
                            "Kestrelio again .+/dev/uinput";
    QTest::newRow("absent") << false << PortalBehaviour{} << unusable;
    QTest::newRow("no keyboard offered") << true << PortalBehaviour{.deviceTypes = 2} << unusable;
    QTest::newRow("Start fails") << true << PortalBehaviour{.failingMethod = "Start"} << unusable;
    QTest::newRow("refused") << true << PortalBehaviour{.startResponse = 1} << refused;
    QTest::newRow("pointer granted alone")
        << true << PortalBehaviour{.grantedDevices = 2} << refused;
}

void PortalTest::unusablePortalFallsBack()
{
    QFETCH(bool, present);
    QFETCH(PortalBehaviour, behaviour);
    QFETCH(QString, report);
    std::unique_ptr<FakePortal> desktop;
    if (present)
        desktop = std::make_unique<FakePortal>(bus_->address(), behaviour);
    PortalClient client(bus_->address());
    QVERIFY2(QTest::qWaitFor([&] { return client.fallbacks == 1; }, 2000),
             qPrintable(client.log.lines.join(" | ")));
    QCOMPARE(client.log.lines.filter(QRegularExpression(report)).size(), 1);
    QCOMPARE(client.active->summary(), "fallback");
    // A session that was made is given back.
    if (desktop && desktop->calls().contains("SelectDevices"))
        QVERIFY(QTest::qWaitFor([&] { return desktop->calls().endsWith("Close"); }, 2000));
}

// The program in a Wayland session without /dev/uinput.
void PortalTest::programTypesThroughThePortal()
{
    // For port 3330; the bus is a socket file, which every namespace reaches.
    QVERIFY2(enterNetworkOfItsOwn(), "this test needs to make a network namespace");
    QTemporaryDir configHome;
    const QStringList session{"XDG_SESSION_TYPE=wayland",
                              "DBUS_SESSION_BUS_ADDRESS=" + bus_->address(),
                              "XDG_CONFIG_HOME=" + configHome.path()};
    {
        FakePortal desktop(bus_->address(), {});
        ProgramProcess program(session);
        program.start();
        QVERIFY(program.waitFor(kGranted.toUtf8()));
        QVERIFY(program.waitFor("Server ready on port 3330\n"));
        TestClient client(QUrl(QStringLiteral("ws://127.0.0.1:3330")));
        for (const char* message : {"w", "-w", "mouse 0 1", "leftshift", "move 2.5 -1", "btn_left"})
            client.send(message);
        QVERIFY(client.sync());
        QVERIFY(desktop.waitForCalls(9));
        // Quit with a key and a button held: let go of them, then end the session.
        QVERIFY(program.quit());
        QCOMPARE(desktop.calls().mid(3),
                 QStringList({"NotifyKeyboardKeycode 17 1", "NotifyKeyboardKeycode 17 0",
                              "NotifyPointerAxisDiscrete 0 -1", "NotifyKeyboardKeycode 42 1",
                              "NotifyPointerMotion 2 -1", "NotifyPointerButton 272 1",
                              "NotifyKeyboardKeycode 42 0", "NotifyPointerButton 272 0", "Close"}));
    }

    // The next start hands the token back; this time the user refuses, and
    // only XWayland is left.
    XvfbServer xvfb;
    QVERIFY(xvfb.isRunning());
    FakePortal desktop(bus_->address(), {.startResponse = 1});
    ProgramProcess program(session, xvfb.displayName());
    program.start();
    QVERIFY2(program.waitFor("Remote input was not allowed by the desktop"),
             (program.output + desktop.calls().join(',').toUtf8()).constData());
    QVERIFY(program.waitFor("Input backend: XTest on X display " + xvfb.displayName() +
                            " (reaches X11 applications only)\n"));
    QCOMPARE(desktop.options("SelectDevices").value("restore_token"), QVariant("token-1"));
    QVERIFY(desktop.waitForCalls(4));
    QCOMPARE(desktop.calls().last(), "Close"); // the refused session is given back
    // With a window, nothing says on stdout that the server is up.
    std::unique_ptr<TestClient> client;
    QVERIFY(QTest::qWaitFor(
        [&] {
            client = std::make_unique<TestClient>(QUrl(QStringLiteral("ws://127.0.0.1:3330")));
            return client->isConnected();
        },
        10000));
    QVERIFY(client->sync());
}

QTEST_GUILESS_MAIN(PortalTest)
#include "tst_portal.moc"
