#include "FakeInterfaces.h"
#include "QrDecoder.h"
#include "TestSupport.h"
#include "pairing/AddressDiscovery.h"
#include "pairing/QrCode.h"
#include "pairing/QrView.h"

#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
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
    void selectsTheFirstIPv4OfTheNamedInterface();
    void choosesTheInterface_data();
    void choosesTheInterface();
    void failedQueryStillAnswersOneTurnLater();
    void codesDecodeToExactlyTheAddress_data();
    void codesDecodeToExactlyTheAddress();
    void viewShowsPlaceholderUntilTheAddressArrives();
    void togglesRenderAgainWithoutLookingUp();
    void togglesBeforeAnyAddressOnlyReport();
    void failedDiscoveryKeepsTheShownCode();
};

void PairingTest::selectsTheFirstIPv4OfTheNamedInterface()
{
    CraftedInterfaces both;
    both.add("eth0", AF_INET6, "fe80::1").add("eth0", AF_INET, "10.0.0.5");
    QCOMPARE(selectIPv4Address(both.head(), "eth0"), QStringLiteral("10.0.0.5"));

    CraftedInterfaces two;
    two.add("wlan0", AF_INET, "192.168.0.7").add("wlan0", AF_INET, "192.168.0.8");
    QCOMPARE(selectIPv4Address(two.head(), "wlan0"), QStringLiteral("192.168.0.7"));

    CraftedInterfaces onlyV6;
    onlyV6.add("lo", AF_INET, "127.0.0.1", IFF_UP | IFF_LOOPBACK)
        .add("eth1", AF_INET, "10.1.1.1")
        .add("eth0", AF_INET6, "2001:db8::5");
    QCOMPARE(selectIPv4Address(onlyV6.head(), "eth0"), std::nullopt);

    CraftedInterfaces lookalikes;
    lookalikes.add("ETH0", AF_INET, "10.0.0.1")
        .add("eth0.1", AF_INET, "10.0.0.2")
        .add("eth01", AF_INET, "10.0.0.3")
        .add("eth", AF_INET, "10.0.0.4");
    QCOMPARE(selectIPv4Address(lookalikes.head(), "eth0"), std::nullopt);

    CraftedInterfaces gaps;
    gaps.add("eth0", AF_UNSPEC, nullptr)
        .add(nullptr, AF_INET, "10.9.9.9")
        .add("eth0", AF_INET, "10.0.0.9");
    QCOMPARE(selectIPv4Address(gaps.head(), "eth0"), QStringLiteral("10.0.0.9"));

    QCOMPARE(selectIPv4Address(nullptr, "eth0"), std::nullopt);
}

void PairingTest::choosesTheInterface_data()
{
    QTest::addColumn<QByteArray>("routes");
    QTest::addColumn<QString>("chosen"); // empty: none

    QTest::newRow("the default route")
        << kRouteHeader + route("wlan0", "0000A8C0", "0001", 0, "00FFFFFF") +
               route("wlan0", "00000000", "0003", 600, "00000000")
        << "wlan0";
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

void PairingTest::failedQueryStillAnswersOneTurnLater()
{
    FakeSystem system;
    system.failing = true;
    int answers = 0;
    std::optional<QString> answer = QStringLiteral("unset");
    fetchIPAddress(
        this,
        [&](const std::optional<QString>& address) {
            ++answers;
            answer = address;
        },
        system.source());
    QCOMPARE(answers, 0); // never from within the caller
    QTRY_COMPARE(answers, 1);
    QCOMPARE(answer, std::nullopt);

    system.failing = false;
    fetchIPAddress(
        this, [&](const std::optional<QString>& address) { answer = address; }, system.source());
    QTRY_COMPARE(answer, QStringLiteral("192.168.1.20"));
}

void PairingTest::codesDecodeToExactlyTheAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::newRow("shortest") << "1.2.3.4";
    QTest::newRow("zeros") << "0.0.0.0";
    QTest::newRow("typical") << "192.168.1.20";
    QTest::newRow("longest") << "255.255.255.255";
}

void PairingTest::codesDecodeToExactlyTheAddress()
{
    QFETCH(QString, address);
    const std::optional<QImage> image = generateQRCode(address);
    QVERIFY(image);
    QCOMPARE(image->deviceIndependentSize(), QSizeF(200, 200));
    QCOMPARE(image->width() % 10, 0); // ten pixels a module
    QCOMPARE(decodeQrCodes(*image), QList<QByteArray>{address.toUtf8()});

    const std::optional<QrSymbol> symbol = encodeQrSymbol(address.toUtf8());
    QVERIFY(symbol);
    QCOMPARE(symbol->size() * 10, image->width());
    for (int i = 0; i < symbol->size(); ++i) // the quiet zone is light all round
        QVERIFY(!symbol->isDark(i, 0) && !symbol->isDark(0, i) && !symbol->isDark(i, 3));
    QCOMPARE(decodeQrCodes(terminalToImage(renderForTerminal(*symbol))),
             QList<QByteArray>{address.toUtf8()});
}

void PairingTest::viewShowsPlaceholderUntilTheAddressArrives()
{
    ViewFixture fixture;
    auto& [system, regenerate, log, view] = fixture;
    view.show();
    // Found at once, yet shown only after the posted task has run.
    QCOMPARE(system.queries, 1);
    QCOMPARE(view.qrCodeImage(), std::nullopt);
    QLabel* placeholder = view.findChild<QLabel*>();
    QVERIFY(placeholder && placeholder->isVisible());
    QCOMPARE(placeholder->text(), QStringLiteral("Generating QR Code..."));

    QTRY_VERIFY(view.qrCodeImage().has_value());
    QVERIFY(!placeholder->isVisible());
    QCOMPARE(view.ipAddress(), QStringLiteral("192.168.1.20"));
    QCOMPARE(decodeQrCodes(view.grab().toImage()), QList<QByteArray>{"192.168.1.20"});
    QVERIFY(view.sizeHint().width() > 200 && view.sizeHint().height() > 200); // plus padding
    QVERIFY(log.lines.isEmpty());
}

void PairingTest::togglesRenderAgainWithoutLookingUp()
{
    ViewFixture fixture;
    auto& [system, regenerate, log, view] = fixture;
    view.show();
    QTRY_VERIFY(view.qrCodeImage().has_value());
    const QImage first = *view.qrCodeImage();

    QSignalSpy renders(&view, &QrView::qrCodeImageChanged);
    system.interfaces.add("eth0", AF_INET, "10.0.0.1"); // would not be seen: no lookup
    regenerate.toggle();
    regenerate.toggle();
    QCOMPARE(renders.size(), 2);
    QCOMPARE(*view.qrCodeImage(), first);
    QCOMPARE(system.queries, 1);
}

void PairingTest::togglesBeforeAnyAddressOnlyReport()
{
    ViewFixture fixture;
    auto& [system, regenerate, log, view] = fixture;
    system.failing = true;
    regenerate.toggle();
    regenerate.toggle();
    QCOMPARE(log.lines, QStringList(2, "No IP address available to regenerate QR code."));
    QCOMPARE(system.queries, 0);

    view.show();
    QTRY_COMPARE(log.lines.size(), 3);
    QCOMPARE(log.lines.last(), QStringLiteral("Failed to fetch IP Address"));
    QCOMPARE(view.qrCodeImage(), std::nullopt);
}

void PairingTest::failedDiscoveryKeepsTheShownCode()
{
    ViewFixture fixture;
    auto& [system, regenerate, log, view] = fixture;
    view.show();
    QTRY_VERIFY(view.qrCodeImage().has_value());
    const QImage shown = *view.qrCodeImage();

    system.failing = true;
    view.hide();
    view.show(); // comes on screen again: looks up again, and fails
    QTRY_COMPARE(log.lines, QStringList{"Failed to fetch IP Address"});
    QCOMPARE(system.queries, 2);
    QCOMPARE(*view.qrCodeImage(), shown);
    QCOMPARE(view.ipAddress(), QStringLiteral("192.168.1.20"));
}

QTEST_MAIN(PairingTest)
#include "tst_pairing.moc"
