#include "FakeInterfaces.h"
#include "QrDecoder.h"
#include "TestSupport.h"
#include "common/AppSettings.h"
#include "pairing/AddressDiscovery.h"
#include "ui/QrView.h"

#include <QComboBox>
#include <QLabel>
#include <QTest>

// A QrView on a discovery source the test controls.
struct ViewFixture
{
    FakeSystem system;
    ObservableFlag regenerate;
    RecordingLog log;
    QrView view{regenerate, log, system.source()};

    QList<QByteArray> shown() { return decodeQrCodes(view.grab().toImage()); }
};

class PairingTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { useTemporarySettings(); } // the chosen interface is remembered
    void candidatesPreferWhatAPhoneReaches_data();
    void candidatesPreferWhatAPhoneReaches();
    void viewFollowsTheNetworkAndTheChoice();
};

void PairingTest::candidatesPreferWhatAPhoneReaches_data()
{
    QTest::addColumn<bool>("withLan");
    QTest::addColumn<QByteArray>("routes");
    QTest::addColumn<QStringList>("expected"); // "name address", the preferred first

    const auto row = [](const char* name, bool withLan, const QByteArray& routes,
                        const QStringList& expected) {
        QTest::newRow(name) << withLan << kRouteHeader + routes << expected;
    };
    const auto up = [](const char* name, int metric) {
        return route(name, "00000000", "0003", metric, "00000000");
    };
    const QStringList wlan{"wlan0 10.0.0.7", "tun0 10.8.0.5", "eth0 192.168.1.20", "vpn0 10.9.0.2"};
    const QStringList lan{"eth0 192.168.1.20", "tun0 10.8.0.5", "wlan0 10.0.0.7", "vpn0 10.9.0.2"};
    row("lowest metric wins", true, up("eth0", 600) + up("wlan0", 100) + up("vpn0", 300), wlan);
    row("a route that is down does not count", true,
        route("eth0", "00000000", "0002", 0, "00000000") + up("wlan0", 50), wlan);
    row("a tunnel by name gives way to a LAN", true, up("tun0", 50) + up("wlan0", 100), lan);
    row("a link without a hardware address gives way", true, up("vpn0", 50) + up("wlan0", 99), lan);
    // Then the first interface that is up (the tunnel) stands for the route.
    row("no default route, garbage ignored", true,
        "nonsense\nwlan0 zz 0 0003 0 0 0 00000000\n" +
            route("wlan0", "0000000A", "0001", 0, "000000FF"),
        lan);
    row("a tunnel stays without a LAN", false, up("tun0", 0),
        {"tun0 10.8.0.5", "eth0 203.0.113.5"});
}

void PairingTest::candidatesPreferWhatAPhoneReaches()
{
    QFETCH(bool, withLan);
    QFETCH(QByteArray, routes);
    QFETCH(QStringList, expected);
    CraftedInterfaces interfaces;
    interfaces.add("lo", AF_INET, "127.0.0.1", IFF_UP | IFF_LOOPBACK)
        .addLink("lo", 6, IFF_UP | IFF_LOOPBACK)
        .add("eth3", AF_INET, "10.3.3.3", 0) // down
        .add("tun0", AF_INET, "10.8.0.5");
    if (withLan) {
        interfaces.addLink("eth0", 6)
            .add("eth0", AF_INET, "192.168.1.20")
            .add("eth0", AF_INET6, "fe80::1")
            .add("wlan0", AF_INET, "10.0.0.7")
            .addLink("vpn0", 0)
            .add("vpn0", AF_INET, "10.9.0.2");
    } else {
        interfaces.add("eth0", AF_INET, "203.0.113.5");
    }
    QStringList found;
    for (const PairingCandidate& candidate : pairingCandidates(routes, interfaces.head()))
        found.append(QString::fromLatin1(candidate.interfaceName) + u' ' + candidate.address);
    QCOMPARE(found, expected);
}

void PairingTest::viewFollowsTheNetworkAndTheChoice()
{
    auto fixture = std::make_unique<ViewFixture>();
    auto* system = &fixture->system;
    QrView* view = &fixture->view;
    const QStringList& log = fixture->log.lines;
    system->failing = true;
    view->show();
    QCOMPARE(system->queries, 0); // never from within the caller
    auto* placeholder = view->findChild<QLabel*>("codePlaceholder");
    QCOMPARE(placeholder->text(), QStringLiteral("Generating QR Code..."));
    QTRY_COMPARE(placeholder->text(),
                 QStringLiteral("No network: connect this computer to the phone's Wi-Fi"));
    QCOMPARE(log, QStringList{"Failed to fetch IP Address"}); // the first answer is news
    for (int i = 0; i < 5; ++i)
        fixture->regenerate.toggle();
    // The same answer again is no news.
    QTRY_COMPARE(log.last(), QStringLiteral("No IP address available to regenerate QR code."));
    QCOMPARE(log.size(), 2);
    QCOMPARE(system->queries, 2); // one lookup for the burst

    // The network comes up with two addresses; a lookup (the kernel's news, or a refresh) finds it.
    system->failing = false;
    system->interfaces.add("wlan0", AF_INET, "10.0.0.7");
    view->pairingAddress().lookUpSoon();
    QTRY_VERIFY(view->qrCodeImage().has_value());
    QVERIFY(!placeholder->isVisible());
    QCOMPARE(fixture->shown(), QList<QByteArray>{"192.168.1.20"});
    auto* chooser = view->findChild<QComboBox*>("addressChooser");
    QVERIFY(chooser->isVisible());
    QCOMPARE(chooser->count(), 2);
    QCOMPARE(chooser->currentText(), QStringLiteral("192.168.1.20 (eth0)"));
    QCOMPARE(chooser->itemText(1), QStringLiteral("10.0.0.7 (wlan0)"));
    chooser->setCurrentIndex(1);
    emit chooser->activated(1);
    QCOMPARE(fixture->shown(), QList<QByteArray>{"10.0.0.7"});

    // The chosen network's address changes: the code follows it, quietly.
    system->interfaces = CraftedInterfaces();
    system->interfaces.add("eth0", AF_INET, "192.168.1.20").add("wlan0", AF_INET, "10.0.0.8");
    fixture->regenerate.toggle();
    QTRY_COMPARE(fixture->shown(), QList<QByteArray>{"10.0.0.8"});
    QCOMPARE(log.size(), 2);

    view->setServerAvailable(false);
    QCOMPARE(view->qrCodeImage(), std::nullopt);
    QVERIFY(fixture->shown().isEmpty());

    // Another run: the same interface is chosen again.
    fixture = std::make_unique<ViewFixture>();
    fixture->system.interfaces.add("wlan0", AF_INET, "10.0.0.9");
    fixture->view.show();
    QTRY_COMPARE(fixture->view.ipAddress(), QStringLiteral("10.0.0.9"));
    AppSettings().remove(QStringLiteral("pairing"));
}

QTEST_MAIN(PairingTest)
#include "tst_pairing.moc"
