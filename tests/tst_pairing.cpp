#include "FakeInterfaces.h"
#include "QrDecoder.h"
#include "TestSupport.h"
#include "common/AppSettings.h"
#include "pairing/AddressDiscovery.h"
#include "pairing/QrCode.h"
#include "pairing/QrView.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <net/if.h>

// A QrView on a discovery source the test controls.
struct ViewFixture
{
    FakeSystem system;
    ObservableFlag regenerate;
    RecordingLog log;
    QrView view{regenerate, log, system.source()};
};

class PairingTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void choosesTheInterface_data();
    void choosesTheInterface();
    void candidatesPreferWhatAPhoneReaches_data();
    void candidatesPreferWhatAPhoneReaches();
    void lookupsAreLaterAndCoalesced();
    void codesDecodeToExactlyTheAddress();
    void viewFollowsTheNetwork();
    void chooserAppearsAndTheChoiceIsRemembered();

private:
    QTemporaryDir config_;
};

void PairingTest::initTestCase()
{
    // The chosen interface is remembered; never in the user's own settings.
    QVERIFY(config_.isValid());
    qputenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit());
}

void PairingTest::choosesTheInterface_data()
{
    QTest::addColumn<QByteArray>("routes");
    QTest::addColumn<QString>("chosen"); // empty: none

    QTest::newRow("lowest metric wins")
        << kRouteHeader + route("wlan0", "00000000", "0003", 600, "00000000") +
               route("eth0", "00000000", "0003", 100, "00000000") +
               route("tun0", "00000000", "0003", 300, "00000000")
        << "eth0";
    QTest::newRow("a route that is down does not count")
        << kRouteHeader + route("tun0", "00000000", "0002", 0, "00000000") +
               route("wlan0", "00000000", "0003", 50, "00000000")
        << "wlan0";
    QTest::newRow("no default route: first up, not loopback, with IPv4")
        << kRouteHeader + route("eth1", "0000000A", "0001", 0, "000000FF") << "eth1";
    QTest::newRow("garbage is ignored")
        << QByteArray("Iface\nnonsense\neth0 zz 0 0003 0 0 0 00000000\n") << "eth1";
}

void PairingTest::choosesTheInterface()
{
    QFETCH(QByteArray, routes);
    QFETCH(QString, chosen);
    CraftedInterfaces interfaces;
    interfaces.add("lo", AF_INET, "127.0.0.1", IFF_UP | IFF_LOOPBACK)
        .add("eth2", AF_INET6, "fe80::2")
        .add("eth3", AF_INET, "10.3.3.3", 0) // down
        .add("eth1", AF_INET, "10.1.1.1")
        .add("eth4", AF_INET, "10.4.4.4");
    const std::optional<QByteArray> name = choosePairingInterface(routes, interfaces.head());
    QCOMPARE(name.value_or(QByteArray()), chosen.toLatin1());

    CraftedInterfaces nothing;
    nothing.add("lo", AF_INET, "127.0.0.1", IFF_UP | IFF_LOOPBACK);
    QCOMPARE(choosePairingInterface(kRouteHeader, nothing.head()), std::nullopt);
}

void PairingTest::candidatesPreferWhatAPhoneReaches_data()
{
    QTest::addColumn<QByteArray>("defaultRoute"); // the interface that carries it
    QTest::addColumn<QStringList>("expected");    // "name address", the preferred first

    QTest::newRow("two LANs: the default route's first")
        << QByteArray("wlan0") << QStringList{"wlan0 10.0.0.7", "eth0 192.168.1.20"};
    QTest::newRow("a tunnel by name holds the default route")
        << QByteArray("tun0")
        << QStringList{"eth0 192.168.1.20", "wlan0 10.0.0.7", "tun0 10.8.0.5"};
    QTest::newRow("a link without a hardware address holds it")
        << QByteArray("vpn0")
        << QStringList{"eth0 192.168.1.20", "wlan0 10.0.0.7", "vpn0 10.9.0.2"};
}

void PairingTest::candidatesPreferWhatAPhoneReaches()
{
    QFETCH(QByteArray, defaultRoute);
    QFETCH(QStringList, expected);
    CraftedInterfaces interfaces;
    interfaces.add("lo", AF_INET, "127.0.0.1", IFF_UP | IFF_LOOPBACK)
        .addLink("lo", 6, IFF_UP | IFF_LOOPBACK)
        .addLink("eth0", 6)
        .add("eth0", AF_INET, "192.168.1.20")
        .add("eth0", AF_INET6, "fe80::1")
        .add("wlan0", AF_INET, "10.0.0.7")
        .add("eth3", AF_INET, "10.3.3.3", 0); // down
    if (defaultRoute == "tun0")
        interfaces.add("tun0", AF_INET, "10.8.0.5");
    if (defaultRoute == "vpn0")
        interfaces.addLink("vpn0", 0).add("vpn0", AF_INET, "10.9.0.2");
    const QByteArray routes = kRouteHeader +
                              route(defaultRoute, "00000000", "0003", 50, "00000000") +
                              route("eth0", "00000000", "0003", 100, "00000000");
    QStringList found;
    for (const PairingCandidate& candidate : pairingCandidates(routes, interfaces.head()))
        found.append(QString::fromLatin1(candidate.interfaceName) + u' ' + candidate.address);
    QCOMPARE(found, expected);

    // A tunnel stays preferred when nothing else has a private address.
    CraftedInterfaces public_;
    public_.add("tun0", AF_INET, "10.8.0.5").add("eth0", AF_INET, "203.0.113.5");
    const QList<PairingCandidate> onlyPublic = pairingCandidates(
        kRouteHeader + route("tun0", "00000000", "0003", 0, "00000000"), public_.head());
    QCOMPARE(onlyPublic.size(), 2);
    QCOMPARE(onlyPublic.first().interfaceName, QByteArray("tun0"));
}

void PairingTest::lookupsAreLaterAndCoalesced()
{
    FakeSystem system;
    system.failing = true;
    PairingAddress pairing(system.source());
    QSignalSpy changes(&pairing, &PairingAddress::changed);
    QSignalSpy lookups(&pairing, &PairingAddress::lookedUp);
    for (int i = 0; i < 5; ++i)
        pairing.lookUpSoon();
    QCOMPARE(system.queries, 0); // never from within the caller
    QTRY_COMPARE(lookups.size(), 1);
    QCOMPARE(system.queries, 1); // one lookup for the burst
    QCOMPARE(changes.size(), 1); // the first answer counts as a change, even without an address
    QCOMPARE(pairing.address(), std::nullopt);

    system.failing = false;
    pairing.lookUpSoon();
    QTRY_COMPARE(changes.size(), 2);
    QCOMPARE(pairing.address(), QStringLiteral("192.168.1.20"));
    pairing.lookUpSoon();
    QTRY_COMPARE(lookups.size(), 3);
    QCOMPARE(changes.size(), 2); // the same answer again is no change
}

void PairingTest::codesDecodeToExactlyTheAddress()
{
    const QString address = QStringLiteral("255.255.255.255");
    const std::optional<QImage> image = generateQRCode(address);
    QVERIFY(image);
    QCOMPARE(decodeQrCodes(*image), QList<QByteArray>{address.toUtf8()});
    const std::optional<QrSymbol> symbol = encodeQrSymbol(address.toUtf8());
    QVERIFY(symbol);
    QCOMPARE(decodeQrCodes(terminalToImage(renderForTerminal(*symbol))),
             QList<QByteArray>{address.toUtf8()});
}

void PairingTest::viewFollowsTheNetwork()
{
    ViewFixture fixture;
    auto& [system, regenerate, log, view] = fixture;
    system.failing = true;
    view.show();
    auto* placeholder = view.findChild<QLabel*>("codePlaceholder");
    QCOMPARE(placeholder->text(), QStringLiteral("Generating QR Code..."));
    QTRY_COMPARE(placeholder->text(),
                 QStringLiteral("No network: connect this computer to the phone's Wi-Fi"));
    QCOMPARE(log.lines, QStringList{"Failed to fetch IP Address"});
    regenerate.toggle();
    QTRY_COMPARE(log.lines.size(), 2);
    QCOMPARE(log.lines.last(), QStringLiteral("No IP address available to regenerate QR code."));
    QCOMPARE(view.qrCodeImage(), std::nullopt);

    // The network comes up; a lookup (the kernel's news, or a refresh) finds it.
    system.failing = false;
    view.pairingAddress().lookUpSoon();
    QTRY_VERIFY(view.qrCodeImage().has_value());
    QVERIFY(!placeholder->isVisible());
    QCOMPARE(decodeQrCodes(view.grab().toImage()), QList<QByteArray>{"192.168.1.20"});

    system.interfaces = CraftedInterfaces();
    system.interfaces.add("eth0", AF_INET, "192.168.1.77");
    regenerate.toggle();
    QTRY_COMPARE(decodeQrCodes(view.grab().toImage()), QList<QByteArray>{"192.168.1.77"});
    QCOMPARE(log.lines.size(), 2);

    view.setServerAvailable(false);
    QCOMPARE(view.qrCodeImage(), std::nullopt);
    QVERIFY(decodeQrCodes(view.grab().toImage()).isEmpty());
}

void PairingTest::chooserAppearsAndTheChoiceIsRemembered()
{
    auto fixture = std::make_unique<ViewFixture>();
    fixture->system.interfaces.add("wlan0", AF_INET, "10.0.0.7");
    fixture->view.show();
    QTRY_VERIFY(fixture->view.qrCodeImage().has_value());
    auto* chooser = fixture->view.findChild<QComboBox*>("addressChooser");
    QVERIFY(chooser->isVisible());
    QCOMPARE(chooser->count(), 2);
    QCOMPARE(chooser->currentText(), QStringLiteral("192.168.1.20 (eth0)"));
    QCOMPARE(chooser->itemText(1), QStringLiteral("10.0.0.7 (wlan0)"));
    chooser->setCurrentIndex(1);
    emit chooser->activated(1);
    QCOMPARE(fixture->view.ipAddress(), QStringLiteral("10.0.0.7"));
    QCOMPARE(decodeQrCodes(fixture->view.grab().toImage()), QList<QByteArray>{"10.0.0.7"});

    // Another run: the same interface is chosen again.
    fixture = std::make_unique<ViewFixture>();
    fixture->system.interfaces.add("wlan0", AF_INET, "10.0.0.8");
    fixture->view.show();
    QTRY_COMPARE(fixture->view.ipAddress(), QStringLiteral("10.0.0.8"));
    AppSettings().remove(QStringLiteral("pairing"));
}

QTEST_MAIN(PairingTest)
#include "tst_pairing.moc"
