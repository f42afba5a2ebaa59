#include "FakeInterfaces.h"
#include "TestSupport.h"
#include "common/AppSettings.h"
#include "trust/LocalNetwork.h"
#include "trust/Secrets.h"
#include "ui/WebSocketServerView.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include <sched.h>

using namespace std::chrono_literals;

// Who may type. The connections run in a network namespace of the test's
// own, where this computer also answers as 10.55.0.1: a client reaching it
// there is a neighbour on the LAN, not loopback.
class TrustTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void addressRule_data();
    void addressRule();
    void judgesCredentials_data();
    void judgesCredentials();
    void pageTradesTheSecretForAToken();
    void newAppWaitsForTheWindow();
    void unansweredRequestIsClosed();
};

namespace {

QUrl lanUrl(quint16 port, const QString& query = {})
{
    return QUrl(QStringLiteral("ws://10.55.0.1:%1/%2").arg(port).arg(query));
}

QString lanOrigin(quint16 port)
{
    return QStringLiteral("http://10.55.0.1:%1").arg(port);
}

// The close code once the server has closed the client.
int closedWith(TestClient& client)
{
    if (!QTest::qWaitFor([&] { return client.socket.state() == QAbstractSocket::UnconnectedState; },
                         5000))
        return -1;
    return client.socket.closeCode();
}

} // namespace

void TrustTest::initTestCase()
{
    useTemporarySettings();
    QVERIFY2(unshare(CLONE_NEWNET) == 0, "this test needs its own network namespace (root)");
    QProcess setup;
    setup.start("sh", {"-c", "ip link set lo up && ip link add kst0 type veth peer name kst1"
                             " && ip addr add 10.55.0.1/24 dev kst0"
                             " && ip link set kst0 up && ip link set kst1 up"});
    QVERIFY(setup.waitForFinished(10000));
    QVERIFY2(setup.exitCode() == 0, setup.readAllStandardError().constData());
}

void TrustTest::addressRule_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<bool>("admitted");

    QTest::newRow("subnet start") << "192.168.1.0" << true;
    QTest::newRow("subnet end") << "192.168.1.255" << true;
    QTest::newRow("just below") << "192.168.0.255" << false;
    QTest::newRow("just above") << "192.168.2.0" << false;
    QTest::newRow("IPv4-mapped") << "::ffff:192.168.1.77" << true;
    QTest::newRow("point-to-point peer only") << "10.8.0.2" << false;
    QTest::newRow("loopback") << "127.0.0.9" << true;
    QTest::newRow("IPv6 loopback") << "::1" << true;
    QTest::newRow("link-local with a scope") << "fe80::1c2:3ff:fe04:506%kst0" << true;
    QTest::newRow("on-link prefix") << "2001:db8:1::99" << true;
    QTest::newRow("public IPv4") << "203.0.113.2" << false;
    QTest::newRow("public IPv6") << "2001:db8:77::2" << false;
    QTest::newRow("behind a gateway route") << "2001:db8:2::1" << false;
}

void TrustTest::addressRule()
{
    QFETCH(QString, peer);
    QFETCH(bool, admitted);

    const QByteArray routes =
        "20010db8000100000000000000000000 40 00000000000000000000000000000000 00 "
        "00000000000000000000000000000000 00000100 00000001 00000000 00000001 eth0\n"
        "20010db8000200000000000000000000 40 00000000000000000000000000000000 00 "
        "fe800000000000000000000000000001 00000400 00000001 00000000 00000003 eth0\n"
        "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
        "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200 lo\n"
        "garbage\n";
    QList<AttachedNetwork> networks = onLinkIPv6Prefixes(routes);
    QCOMPARE(networks.size(), 1);
    networks.append({QHostAddress("192.168.1.20"), 24});
    networks.append({QHostAddress("10.8.0.1"), 32});
    QCOMPARE(isOnLocalNetwork(QHostAddress(peer), networks), admitted);
}

void TrustTest::judgesCredentials_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QString>("query");
    QTest::addColumn<bool>("browserPage");
    QTest::addColumn<int>("policy");
    QTest::addColumn<int>("verdict");
    QTest::addColumn<bool>("trusted");

    const int serve = int(Admission::Verdict::Serve);
    const int hold = int(Admission::Verdict::Hold);
    const int refuse = int(Admission::Verdict::Refuse);
    const int ask = int(StrangerPolicy::Ask);
    const int open = int(StrangerPolicy::Serve);
    const int pairedOnly = int(StrangerPolicy::Refuse);
    const QString lan = QStringLiteral("192.168.1.30");
    QTest::newRow("secret") << lan << "pair=SECRET" << true << pairedOnly << serve << true;
    QTest::newRow("wrong secret, even from loopback")
        << "127.0.0.1"
        << "pair=0123" << true << open << refuse << false;
    QTest::newRow("empty secret") << lan << "pair=" << true << open << refuse << false;
    QTest::newRow("token") << lan << "device=TOKEN" << true << pairedOnly << serve << true;
    QTest::newRow("unknown token never asks")
        << lan << "device=feed" << true << ask << refuse << false;
    QTest::newRow("loopback") << "::ffff:127.0.0.1"
                              << "" << false << pairedOnly << serve << true;
    QTest::newRow("trusted app address") << "192.168.1.40"
                                         << "" << false << ask << serve << true;
    QTest::newRow("that address's browser") << "192.168.1.40"
                                            << "" << true << ask << hold << false;
    QTest::newRow("stranger, asking") << lan << "" << false << ask << hold << false;
    QTest::newRow("stranger, headless") << lan << "" << false << open << serve << false;
    QTest::newRow("stranger, paired only") << lan << "" << false << pairedOnly << refuse << false;
}

void TrustTest::judgesCredentials()
{
    QFETCH(QString, peer);
    QFETCH(QString, query);
    QFETCH(bool, browserPage);
    QFETCH(int, policy);
    QFETCH(int, verdict);
    QFETCH(bool, trusted);

    DeviceTrust trust;
    trust.setStrangerPolicy(StrangerPolicy(policy));
    trust.store().trustAddress(QStringLiteral("192.168.1.40"));
    const QByteArray token = trust.store().addDevice(QStringLiteral("Phone"));
    query.replace(QStringLiteral("SECRET"), QString::fromLatin1(trust.pairingSecret()));
    query.replace(QStringLiteral("TOKEN"), QString::fromLatin1(token));

    const Admission admission =
        trust.judge(QHostAddress(peer), "/?" + query.toLatin1(), browserPage);
    QCOMPARE(int(admission.verdict), verdict);
    QCOMPARE(admission.trusted, trusted);
    QCOMPARE(admission.paired,
             query.startsWith(u"pair=") && admission.verdict == Admission::Verdict::Serve);
    trust.store().forgetAddress(QStringLiteral("192.168.1.40"));
    trust.store().forgetDevice(tokenHash(token));
}

void TrustTest::pageTradesTheSecretForAToken()
{
    ServerHarness server;
    server.model->trust().setStrangerPolicy(StrangerPolicy::Ask);
    const quint16 port = server.model->listeningPort();
    const QString secret = QString::fromLatin1(server.model->trust().pairingSecret());
    QByteArray token;
    {
        TestClient page(lanUrl(port, "?pair=" + secret), lanOrigin(port));
        page.send("w");
        QVERIFY(page.sync());
        QCOMPARE(page.received.size(), 2);
        QVERIFY(page.received[0].startsWith(u"DEVICE "));
        token = page.received[0].sliced(7).toLatin1();
        QCOMPARE(server.events.keyTrace(), QStringList{"+13"});
    }
    QTRY_VERIFY(server.log.lines.contains("Client disconnected from 10.55.0.1"));
    QCOMPARE(server.log.lines.first(), QStringLiteral("Client connected from 10.55.0.1"));
    QCOMPARE(server.events.keyTrace(), QStringList({"+13", "-13"}));

    // Only the token's hash is kept, with the device's name.
    QCOMPARE(token.size(), 22);
    const QList<TrustedDevice> devices = server.model->trust().store().devices();
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices[0].tokenHash, tokenHash(token));
    QFile file(AppSettings().fileName());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(!file.readAll().contains(token));

    // Reconnecting needs nothing but the token, also after a new secret.
    server.model->restartServer();
    QTRY_VERIFY(server.model->serverStatus().startsWith(u"Server ready"));
    const quint16 newPort = server.model->listeningPort();
    TestClient again(lanUrl(newPort, "?device=" + token), lanOrigin(newPort));
    QVERIFY(again.sync());
    QCOMPARE(again.received, QStringList{"HSK_DONE"});

    // A present but wrong secret or token is refused, never held for approval.
    server.log.lines.clear();
    TestClient oldSecret(lanUrl(newPort, "?pair=" + secret), lanOrigin(newPort));
    TestClient wrongToken(lanUrl(newPort, "?device=" + QString(22, u'A')), lanOrigin(newPort));
    QVERIFY(!oldSecret.isConnected());
    QVERIFY(!wrongToken.isConnected());
    QCOMPARE(server.log.lines,
             QStringList({"Rejected connection from 10.55.0.1: wrong pairing secret",
                          "Rejected connection from 10.55.0.1: unknown device token"}));
    QVERIFY(server.model->roster().clients().size() == 1);
    server.model->trust().store().forgetDevice(tokenHash(token));
}

void TrustTest::newAppWaitsForTheWindow()
{
    RecordingEventLayer events;
    RecordingLog log;
    FakeSystem system;
    WebSocketServerView view(events, log, testSettings(), system.source());
    view.show();
    QTRY_VERIFY(view.viewModel().serverStatus().startsWith(u"Server ready"));
    const quint16 port = view.viewModel().listeningPort();
    auto* bar = view.findChild<QWidget*>("approvalBar");
    const auto click = [&view](const char* name) {
        auto* button = view.findChild<QPushButton*>(name);
        QVERIFY(button && button->isVisible());
        button->click();
    };
    QVERIFY(view.findChild<QCheckBox*>("askBeforeNewDevice")->isChecked());

    // Denied: closed with 1008, nothing typed.
    TestClient denied(lanUrl(port));
    denied.send("w");
    denied.send("hsk");
    QTRY_VERIFY(bar->isVisible());
    QCOMPARE(view.findChild<QLabel*>("approvalQuestion")->text(),
             QStringLiteral("10.55.0.1 wants to control this computer"));
    click("deny");
    QCOMPARE(closedWith(denied), 1008);
    QVERIFY(!denied.socket.closeReason().isEmpty());
    QVERIFY(denied.received.isEmpty());
    QTRY_VERIFY(!bar->isVisible());

    // Allowed: the held handshake is answered, what came before is dropped.
    TestClient app(lanUrl(port));
    app.send("w");
    app.send("hsk");
    QTRY_VERIFY(bar->isVisible());
    QTest::qWait(100);
    QVERIFY(app.received.isEmpty());
    click("allow");
    QTRY_COMPARE(app.received, QStringList{"HSK_DONE"});
    app.send("a");
    QVERIFY(app.sync());
    QCOMPARE(events.keyTrace(), QStringList{"+0"});
    QVERIFY(view.viewModel().trust().store().isTrustedAddress("10.55.0.1"));

    // The address is remembered for apps: the next one is served at once.
    TestClient second(lanUrl(port));
    QVERIFY(second.sync());
    QVERIFY(!bar->isVisible());

    // Disconnect ends the first connection and lets go of its key.
    QTRY_COMPARE(view.findChildren<QPushButton*>("disconnect").size(), 2);
    view.findChildren<QPushButton*>("disconnect").first()->click();
    QCOMPARE(closedWith(app), 1000);
    QTRY_COMPARE(events.keyTrace(), QStringList({"+0", "-0"}));
    QVERIFY(second.isConnected());
    QTRY_COMPARE(view.findChildren<QPushButton*>("disconnect").size(), 1);

    click("forgetAddress");
    QTRY_VERIFY(!view.viewModel().trust().store().isTrustedAddress("10.55.0.1"));
}

void TrustTest::unansweredRequestIsClosed()
{
    ServerSettings settings = testSettings();
    settings.approvalTimeout = 300ms; // 60 s in use
    ServerHarness server(settings);
    server.model->trust().setStrangerPolicy(StrangerPolicy::Ask);
    TestClient app(lanUrl(server.model->listeningPort()));
    app.send("hsk");
    app.send("w");
    QTRY_COMPARE(server.model->roster().clients().size(), 1);
    QVERIFY(server.model->roster().firstHeld());
    QCOMPARE(closedWith(app), 1008);
    QVERIFY(app.received.isEmpty());
    QVERIFY(server.events.posted.isEmpty());
    QTRY_VERIFY(server.model->roster().clients().isEmpty());
}

QTEST_MAIN(TrustTest)
#include "tst_trust.moc"
