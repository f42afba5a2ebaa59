#include "FakeInterfaces.h"
#include "QrDecoder.h"
#include "TestSupport.h"
#include "ui/DeviceListingFeed.h"
#include "ui/StatusColors.h"
#include "ui/WebSocketServerView.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

// The window's content under Qt's offscreen platform, with a real server.
class WindowTest : public QObject
{
    Q_OBJECT
private slots:
    void init() { makeView(); }
    void cleanup() { view_.reset(); }
    void startsOnShowThenCountsPadsAndMessages();
    void coloursAreReadableOnLightAndDark();
    void failedServerOffersNoCodeUntilRefreshed();
    void codeIsLargeThenSmallestSizeFitsThenAWarningWraps();
    void devicesScrollAndChangeInPlaceAtMostTenTimesASecond();

private:
    void makeView(quint16 port = 0)
    {
        ServerSettings settings = testSettings();
        settings.port = port;
        pads_ = std::dynamic_pointer_cast<RecordingPadFactory>(settings.padDevices);
        view_ = std::make_unique<WebSocketServerView>(events_, log_, settings, system_.source());
        view_->resize(900, 650);
    }
    QLabel* label(const char* name) { return view_->findChild<QLabel*>(name); }
    QColor colour(const char* name) { return label(name)->palette().color(QPalette::WindowText); }
    QColor toneColour(StatusTone tone) { return statusColor(tone, view_->palette()); }
    QUrl url(const char* path = "")
    {
        return QUrl("ws://127.0.0.1:" + QString::number(view_->viewModel().listeningPort()) + path);
    }
    void showAndWaitUntilReady()
    {
        view_->show();
        QTRY_VERIFY(label("serverStatus")->text().startsWith(u"Server ready on port "));
    }

    RecordingEventLayer events_;
    RecordingLog log_;
    FakeSystem system_;
    std::shared_ptr<RecordingPadFactory> pads_;
    std::unique_ptr<WebSocketServerView> view_;
};

void WindowTest::startsOnShowThenCountsPadsAndMessages()
{
    QCOMPARE(label("serverStatus")->text(), QStringLiteral("Stopped"));
    QCOMPARE(colour("serverStatus"), toneColour(StatusTone::Bad));
    QCOMPARE(colour("connectionStatus"), toneColour(StatusTone::Bad));
    QCOMPARE(view_->viewModel().listeningPort(), quint16(0)); // nothing starts before it shows

    showAndWaitUntilReady();
    QCOMPARE(colour("serverStatus"), toneColour(StatusTone::Good));
    QTRY_VERIFY(view_->qrView().qrCodeImage().has_value());

    QCOMPARE(label("gamePads")->text(), QStringLiteral("Game pads: 0"));
    QVERIFY(!label("gamePadsHelp")->isVisible());
    {
        TestClient pad(url("/pad"));
        QVERIFY(pad.sync());
        QCOMPARE(label("gamePads")->text(), QStringLiteral("Game pads: 1"));
    }
    QTRY_COMPARE(label("gamePads")->text(), QStringLiteral("Game pads: 0"));
    // A phone refused a pad is sent here: the window says how to turn them on.
    pads_->failure = QStringLiteral("/dev/uinput: Permission denied");
    TestClient refused(url("/pad"));
    QTRY_VERIFY(label("gamePadsHelp")->isVisible());
    QVERIFY(label("gamePadsHelp")->text().contains(u"./scripts/install-udev-rule.sh"));

    QSignalSpy refreshes(view_.get(), &WebSocketServerView::messagesRefreshed);
    TestClient client(url());
    for (int i = 0; i < 5000; ++i)
        client.send(i % 2 ? QStringLiteral("-w") : QStringLiteral("w"));
    client.send("last");
    QVERIFY(client.sync());
    auto* list = view_->findChild<QListWidget*>("receivedMessages");
    QTRY_COMPARE(list->item(0)->text(), QStringLiteral("last"));
    QCOMPARE(list->count(), 30);
    // Thousands of list changes, a handful of refreshes: one per batch read.
    QVERIFY2(refreshes.size() < 500, qPrintable(QString::number(refreshes.size())));
}

void WindowTest::coloursAreReadableOnLightAndDark()
{
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2d, 0x2d, 0x2d));
    for (const QPalette& palette : {QPalette(QColor(0xef, 0xef, 0xef)), dark, QPalette(Qt::white),
                                    QPalette(Qt::black), QPalette(QColor(0x80, 0x80, 0x80))}) {
        const QColor background = palette.color(QPalette::Window);
        for (StatusTone tone : {StatusTone::Good, StatusTone::Bad, StatusTone::Warning}) {
            const QColor colour = statusColor(tone, palette);
            QVERIFY2(contrastRatio(colour, background) >= kMinimumContrast,
                     qPrintable(colour.name() + QStringLiteral(" on ") + background.name()));
        }
        const QColor bad = statusColor(StatusTone::Bad, palette).toHsv();
        if (bad != QColor(Qt::black) && bad != QColor(Qt::white))
            QVERIFY2(bad.hue() <= 10 || bad.hue() >= 350, qPrintable(bad.name())); // red
        QVERIFY(statusColor(StatusTone::Warning, palette) != statusColor(StatusTone::Bad, palette));
    }
}

void WindowTest::failedServerOffersNoCodeUntilRefreshed()
{
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::Any));
    makeView(occupant.serverPort());
    view_->show();
    QTRY_VERIFY(label("serverStatus")->text().startsWith(u"Server failed with error: "));
    QCOMPARE(colour("serverStatus"), toneColour(StatusTone::Bad));
    QVERIFY(label("serverStatus")->wordWrap()); // the whole reason, not a cut-off one
    QTRY_VERIFY(view_->qrView().pairingAddress().hasLookedUp());
    QCOMPARE(view_->qrView().qrCodeImage(), std::nullopt);
    QVERIFY(!label("codeText")->isVisible());
    QVERIFY(!label("scanInstruction")->isVisible());
    QVERIFY(label("codePlaceholder")->text().contains(u"Refresh Server"));

    // Refresh restarts and looks the address up again.
    occupant.close();
    system_.interfaces = CraftedInterfaces();
    system_.interfaces.add("eth0", AF_INET, "192.168.5.5");
    QElapsedTimer sinceClick;
    sinceClick.start();
    view_->findChild<QPushButton*>("refreshServer")->click();
    QCOMPARE(label("serverStatus")->text(), QStringLiteral("Restarting server..."));
    QTRY_VERIFY_WITH_TIMEOUT(label("serverStatus")->text().startsWith(u"Server ready"), 5000);
    QVERIFY2(sinceClick.elapsed() >= 1000, qPrintable(QString::number(sinceClick.elapsed())));
    QTRY_VERIFY(label("codeText")->text().startsWith(u"http://192.168.5.5:3330/#pair="));
    QVERIFY(view_->qrView().qrCodeImage().has_value());
}

// At the size the window first opens with on a 1920 by 1080 screen, the code
// is large; at the smallest size everything fits; a warning wraps.
void WindowTest::codeIsLargeThenSmallestSizeFitsThenAWarningWraps()
{
    QLabel* text = label("keyPressSimulation");
    view_->viewModel().setKeyPressSimulation(QStringLiteral("XTest on X display :0"));
    showAndWaitUntilReady();
    QVERIFY(!label("keyPressIcon")->isVisible());
    QCOMPARE(colour("keyPressSimulation"), view_->palette().color(QPalette::WindowText));
    QTRY_VERIFY(view_->qrView().qrCodeImage().has_value());
    const auto* code = view_->findChild<QWidget*>("qrCode");
    // Each mode: its instruction, and under the code exactly what the code
    // holds. The page's link, the larger code, stays for the sizes below.
    const QString address =
        QRegularExpression::escape(view_->qrView().ipAddress().value_or(QString()));
    for (const auto& [button, instruction, content] :
         {std::tuple{"code-app", "Scan with the controller app", '^' + address + '$'},
          std::tuple{"code-motion", "Scan with your phone's camera",
                     "^https://" + address + ":3330/#pair=[-_0-9A-Za-z]{22}$"},
          std::tuple{"code-browser", "Scan with your phone's camera",
                     "^http://" + address + ":3330/#pair=[-_0-9A-Za-z]{22}$"}}) {
        view_->findChild<QPushButton*>(button)->click();
        QTest::qWait(20);
        QCOMPARE(label("scanInstruction")->text(), QString::fromUtf8(instruction));
        QVERIFY(label("scanInstruction")->isVisible());
        const QString text = label("codeText")->text();
        QVERIFY2(QRegularExpression(content).match(text).hasMatch(), qPrintable(text));
        QCOMPARE(decodeQrCodes(view_->grab().toImage()), QList<QByteArray>{text.toUtf8()});
        // The certificate's fingerprint goes with the https page's code.
        QCOMPARE(label("certificateFingerprint")->isVisible(),
                 std::string_view(button) == "code-motion");
        QCOMPARE(label("certificateFingerprint")->text(),
                 "Certificate SHA-256: " + view_->viewModel().tls().fingerprint());
        const int side = std::min(code->width(), code->height());
        QVERIFY2(side >= 240, qPrintable(QString::number(side)));
    }
    // 1280 by 720 at 200 %, less a title bar.
    const QSize smallest = view_->minimumSizeHint();
    QVERIFY2(smallest.width() <= 640 && smallest.height() <= 330,
             qPrintable(QStringLiteral("%1x%2").arg(smallest.width()).arg(smallest.height())));
    view_->resize(smallest);
    QTest::qWait(50);
    QList<std::pair<QWidget*, QRect>> leaves;
    for (QWidget* widget : view_->findChildren<QWidget*>()) {
        if (widget->isVisible() && widget->findChildren<QWidget*>().isEmpty() &&
            !widget->inherits("QSplitterHandle") && widget->parentWidget()->isVisible())
            leaves.append({widget, QRect(widget->mapTo(view_.get(), QPoint()), widget->size())});
    }
    for (const auto& [widget, area] : leaves) {
        const QString name =
            QString::fromLatin1(widget->metaObject()->className()) + u' ' + widget->objectName();
        QVERIFY2(view_->rect().contains(area), qPrintable(name));
        QVERIFY2(widget->size().expandedTo(widget->minimumSizeHint()) == widget->size() ||
                     widget->inherits("QFrame") || widget->inherits("QScrollBar"),
                 qPrintable(name));
        for (const auto& [other, otherArea] : leaves)
            QVERIFY2(other == widget || !area.intersects(otherArea),
                     qPrintable(name + QStringLiteral(" overlaps ") + other->objectName()));
    }

    view_->viewModel().setKeyPressSimulation(QStringLiteral(
        "Key presses cannot reach this computer (a long reason that needs several lines). "
        "See the README."));
    view_->setKeyPressProblem(true);
    QCOMPARE(colour("keyPressSimulation"), toneColour(StatusTone::Warning));
    QVERIFY(label("keyPressIcon")->isVisible());
    QVERIFY(text->isVisible() && text->wordWrap());
    view_->viewModel().setKeyPressSimulation(std::nullopt);
    QVERIFY(!text->isVisible());
}

// Many connections scroll inside the Devices block instead of growing the
// window; a change touches only its own row, and bursts of changes reach
// the window at most ten times a second.
void WindowTest::devicesScrollAndChangeInPlaceAtMostTenTimesASecond()
{
    showAndWaitUntilReady();
    std::vector<std::unique_ptr<TestClient>> clients;
    clients.push_back(std::make_unique<TestClient>(url()));
    QTRY_COMPARE(view_->findChildren<QPushButton*>("disconnect").size(), 1);
    const QSize minimum = view_->minimumSizeHint();
    auto* feed = view_->viewModel().findChild<DeviceListingFeed*>();
    QVERIFY(feed);
    QSignalSpy listings(feed, &DeviceListingFeed::changed);
    QElapsedTimer churning;
    churning.start();
    for (int i = 1; i < 40; ++i) {
        clients.push_back(std::make_unique<TestClient>(url()));
        QVERIFY(clients.back()->isConnected());
    }
    for (int i = 0; i < 40; ++i)
        TestClient(url()).socket.close();
    const qint64 churned = churning.elapsed();
    QTRY_COMPARE(view_->findChildren<QPushButton*>("disconnect").size(), 40);
    QVERIFY2(listings.size() <= churned / 100 + 2,
             qPrintable(QStringLiteral("%1 in %2 ms").arg(listings.size()).arg(churned)));

    auto* rows = view_->findChild<QScrollArea*>("deviceRows");
    const int rowHeight = view_->findChild<QPushButton*>("disconnect")->height();
    QVERIFY2(rows->height() <= (rowHeight + 4) * 6, qPrintable(QString::number(rows->height())));
    QVERIFY(rows->widget()->height() > rows->height() * 4);
    QCOMPARE(view_->minimumSizeHint(), minimum);
    QCOMPARE(view_->size(), QSize(900, 650));

    QPushButton* kept = view_->findChildren<QPushButton*>("disconnect").last();
    clients.front().reset();
    QTRY_COMPARE(view_->findChildren<QPushButton*>("disconnect").size(), 39);
    QVERIFY(view_->findChildren<QPushButton*>("disconnect").contains(kept));
}

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
