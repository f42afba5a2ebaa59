#include "FakeInterfaces.h"
#include "TestSupport.h"
#include "common/AppSettings.h"
#include "trust/LocalNetwork.h"
#include "trust/Secrets.h"
#include "ui/WebSocketServerView.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTest>

using namespace std::chrono_literals;

namespace {

// A client on the LAN; a page sends the Origin it was served from.
struct LanClient : TestClient
{
    LanClient(quint16 port, const QString& query = {}, bool page = false,
              const QByteArray& userAgent = {})
        : TestClient(QUrl(QStringLiteral("ws://10.55.0.1:%1/%2").arg(port).arg(query)),
                     page ? QStringLiteral("http://10.55.0.1:%1").arg(port) : QString(), userAgent)
    {}
};

} // namespace

// Who may type. The connections run in a network namespace of the test's
// own, where this computer also answers as 10.55.0.1: a client reaching it
// there is a neighbour on the LAN, not loopback.
class TrustTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        useTemporarySettings();
        QVERIFY2(enterNetworkOfItsOwn(), "this test needs its own network namespace (root)");
        QVERIFY(
            sh("ip link add kst0 type veth peer name kst1 && "
               "ip addr add 10.55.0.1/24 dev kst0 && ip link set kst0 up && ip link set kst1 up"));
    }

    void addressRule()
    {
        // An on-link prefix, one behind a gateway, and the default route.
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
        networks.append({QHostAddress("10.8.0.1"), 32}); // a point-to-point link
        const QStringList admitted{"192.168.1.0",   "192.168.1.255", "::ffff:192.168.1.77",
                                   "127.0.0.9",     "::1",           "fe80::1c2:3ff:fe04:506%kst0",
                                   "2001:db8:1::99"};
        const QStringList refused{"192.168.0.255", "192.168.2.0", "10.8.0.2", "2001:db8:77::2",
                                  "2001:db8:2::1"};
        QStringList wrong;
        for (const QString& peer : admitted + refused) {
            if (isOnLocalNetwork(QHostAddress(peer), networks) != admitted.contains(peer))
                wrong.append(peer);
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(u", ")));
    }

    void judgesCredentials()
    {
        DeviceTrust trust;
        trust.store().trustAddress(QStringLiteral("192.168.1.40"));
        const QByteArray token = trust.store().addDevice(QStringLiteral("Phone"));
        using P = StrangerPolicy;
        using V = Admission::Verdict;
        const char* const lan = "192.168.1.30";
        // Peer, query, from a browser page, stranger policy, verdict, trusted.
        const std::tuple<const char*, QByteArray, bool, P, V, bool> rows[] = {
            {lan, "pair=" + trust.pairingSecret(), true, P::Refuse, V::Serve, true},
            {"127.0.0.1", "pair=0123", true, P::Serve, V::Refuse, false}, // even from loopback
            {lan, "pair=", true, P::Serve, V::Refuse, false},
            {lan, "device=" + token, true, P::Refuse, V::Serve, true},
            {lan, "device=feed", true, P::Ask, V::Refuse, false}, // an unknown token never asks
            {"::ffff:127.0.0.1", "", false, P::Refuse, V::Serve, true},
            {"192.168.1.40", "", false, P::Ask, V::Serve, true}, // a trusted app's address...
            {"192.168.1.40", "", true, P::Ask, V::Hold, false},  // ...is not its browser's
            {lan, "", false, P::Ask, V::Hold, false},
            {lan, "", false, P::Serve, V::Serve, false},
            {lan, "", false, P::Refuse, V::Refuse, false},
        };
        QStringList wrong;
        for (const auto& [peer, query, page, policy, verdict, trusted] : rows) {
            trust.setStrangerPolicy(policy);
            const Admission admission = trust.judge(QHostAddress(peer), "/?" + query, page);
            const bool paired = query.startsWith("pair=") && verdict == V::Serve;
            if (admission.verdict != verdict || admission.trusted != trusted ||
                admission.paired != paired)
                wrong.append(peer + (" ?" + query));
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(u", ")));
        QCOMPARE(trust.judge(QHostAddress(lan), "/?device=feed", true).reason,
                 QStringLiteral("unknown device token"));
        trust.store().forgetAddress(QStringLiteral("192.168.1.40"));
        trust.store().forgetDevice(tokenHash(token));
    }

    void pageTradesTheSecretForATokenAndStrangersWait()
    {
        ServerSettings settings = testSettings();
        settings.approvalTimeout = 300ms; // 60 s in use
        ServerHarness server(settings);
        server.model->trust().setStrangerPolicy(StrangerPolicy::Ask);
        quint16 port = server.model->listeningPort();
        const QString secret = QString::fromLatin1(server.model->trust().pairingSecret());
        QByteArray token;
        {
            LanClient page(port, "?pair=" + secret, true);
            page.send("w");
            QVERIFY(page.sync());
            QVERIFY(page.received.size() == 2 && page.received[0].startsWith(u"DEVICE "));
            token = page.received[0].sliced(7).toLatin1();
            QCOMPARE(server.events.keyTrace(), QStringList{"+13"});
        }

        // Only the token's hash is kept.
        QFile file(AppSettings().fileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(!file.readAll().contains(token));

        // The token alone reconnects, also after a new secret; the old secret
        // is refused, never held for approval.
        server.model->restartServer();
        QTRY_VERIFY(server.model->serverStatus().startsWith(u"Server ready"));
        port = server.model->listeningPort();
        LanClient again(port, "?device=" + token, true);
        QVERIFY(again.sync());
        QCOMPARE(again.received, QStringList{"HSK_DONE"});
        QVERIFY(!LanClient(port, "?pair=" + secret, true).isConnected());
        QCOMPARE(server.log.lines.last(),
                 "Rejected connection from 10.55.0.1: wrong pairing secret");
        server.model->trust().store().forgetDevice(tokenHash(token));

        // A stranger nobody answers is closed, with nothing typed.
        LanClient app(port);
        app.send("hsk");
        app.send("w");
        QTRY_VERIFY(server.model->roster().firstHeld());
        QTRY_COMPARE(app.socket.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(int(app.socket.closeCode()), 1008);
        QVERIFY(app.received.isEmpty());
        QCOMPARE(server.events.keyTrace(), QStringList({"+13", "-13"})); // the page's only
        QTRY_COMPARE(server.model->roster().clients().size(), 1);
    }

    void newAppWaitsForTheWindow()
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

        const auto barSays = [&view](const QString& device, const QString& waiting) {
            auto* more = view.findChild<QLabel*>("approvalWaiting");
            return view.findChild<QLabel*>("approvalQuestion")->text() ==
                       u"10.55.0.1 wants to control this computer" &&
                   view.findChild<QLabel*>("approvalDevice")->text() == device &&
                   (more->isVisible() ? more->text() : QString()) == waiting;
        };

        // They wait in turn; Deny answers the first shown: closed with 1008, nothing typed.
        LanClient denied(port);
        denied.send("w");
        denied.send("hsk");
        LanClient page(port, {}, true,
                       "Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like "
                       "Gecko) Chrome/126.0.0.0 Mobile Safari/537.36");
        LanClient app(port);
        app.send("w");
        app.send("hsk");
        QTRY_VERIFY(bar->isVisible());
        QTRY_VERIFY(barSays("App", "2 more waiting"));
        click("deny");
        QTRY_COMPARE(denied.socket.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(int(denied.socket.closeCode()), 1008);
        QVERIFY(denied.received.isEmpty());
        QTRY_VERIFY(barSays("Android phone · Chrome", "1 more waiting"));
        click("deny");
        QTRY_COMPARE(page.socket.state(), QAbstractSocket::UnconnectedState);
        QTRY_VERIFY(barSays("App", ""));

        // Allowed: the held handshake is answered, what came before is dropped.
        QVERIFY(app.received.isEmpty());
        click("allow");
        QTRY_COMPARE(app.received, QStringList{"HSK_DONE"});
        app.send("a");
        QVERIFY(app.sync());
        QCOMPARE(events.keyTrace(), QStringList{"+0"});

        // The address is remembered for apps: the next one is served at once.
        LanClient second(port);
        QVERIFY(second.sync());
        QVERIFY(view.viewModel().trust().store().isTrustedAddress("10.55.0.1"));

        // Disconnect ends the first connection and lets go of its key.
        QTRY_COMPARE(view.findChildren<QPushButton*>("disconnect").size(), 2);
        view.findChildren<QPushButton*>("disconnect").first()->click();
        QTRY_COMPARE(app.socket.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(int(app.socket.closeCode()), 1000);
        QTRY_COMPARE(events.keyTrace(), QStringList({"+0", "-0"}));
        QVERIFY(second.isConnected());

        click("forgetAddress");
        QTRY_VERIFY(!view.viewModel().trust().store().isTrustedAddress("10.55.0.1"));
    }
};

QTEST_MAIN(TrustTest)
#include "tst_trust.moc"
