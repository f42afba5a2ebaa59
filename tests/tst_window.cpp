#include "FakeInterfaces.h"
#include "TestSupport.h"
#include "ui/StatusColors.h"
#include "ui/WebSocketServerView.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

// The window's content under Qt's offscreen platform, with a real server.
class WindowTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void firstDrawingThenReadyOnceShown();
    void coloursAreReadableOnLightAndDark();
    void inputProblemIsAWarning();
    void failedServerOffersNoCodeUntilRefreshed();
    void gamePadsAreCounted();
    void smallestSizeFitsAndNothingOverlaps();
    void floodOfMessagesRefreshesOncePerTurn();

private:
    QLabel* label(const char* name) { return view_->findChild<QLabel*>(name); }
    QListWidget* list() { return view_->findChild<QListWidget*>("receivedMessages"); }
    QColor colour(const char* name) { return label(name)->palette().color(QPalette::WindowText); }
    QColor toneColour(StatusTone tone) { return statusColor(tone, view_->palette()); }
    void showAndWaitUntilReady();

    QTemporaryDir config_;
    RecordingEventLayer events_;
    RecordingLog log_;
    FakeSystem system_;
    ServerSettings settings_ = testSettings();
    std::unique_ptr<WebSocketServerView> view_;
};

void WindowTest::initTestCase()
{
    // A chosen address is remembered; never in the user's own settings.
    QVERIFY(config_.isValid());
    qputenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit());
}

void WindowTest::init()
{
    view_ = std::make_unique<WebSocketServerView>(events_, log_, settings_, system_.source());
    view_->resize(900, 650);
}

void WindowTest::cleanup()
{
    view_.reset();
    settings_ = testSettings();
}

void WindowTest::showAndWaitUntilReady()
{
    view_->show();
    QTRY_VERIFY(label("serverStatus")->text().startsWith(u"Server ready on port "));
}

void WindowTest::firstDrawingThenReadyOnceShown()
{
    QCOMPARE(label("serverStatus")->text(), QStringLiteral("Stopped"));
    QCOMPARE(colour("serverStatus"), toneColour(StatusTone::Bad));
    QCOMPARE(colour("connectionStatus"), toneColour(StatusTone::Bad));
    QCOMPARE(view_->qrView().qrCodeImage(), std::nullopt);
    QCOMPARE(view_->viewModel().listeningPort(), quint16(0)); // nothing starts before it shows

    showAndWaitUntilReady();
    QCOMPARE(colour("serverStatus"), toneColour(StatusTone::Good));
    QTRY_VERIFY(view_->qrView().qrCodeImage().has_value());
    QCOMPARE(label("controllerPage")->text(), QStringLiteral("http://192.168.1.20:3330"));
    QVERIFY(label("controllerPage")->isVisible());
}

void WindowTest::coloursAreReadableOnLightAndDark()
{
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2d, 0x2d, 0x2d));
    const QList<QPalette> palettes = {QPalette(QColor(0xef, 0xef, 0xef)), dark, QPalette(Qt::white),
                                      QPalette(Qt::black), QPalette(QColor(0x80, 0x80, 0x80))};
    for (const QPalette& palette : palettes) {
        const QColor background = palette.color(QPalette::Window);
        QColor bad = statusColor(StatusTone::Bad, palette).toHsv();
        for (StatusTone tone : {StatusTone::Good, StatusTone::Bad, StatusTone::Warning}) {
            const QColor colour = statusColor(tone, palette);
            QVERIFY2(contrastRatio(colour, background) >= kMinimumContrast,
                     qPrintable(colour.name() + QStringLiteral(" on ") + background.name()));
        }
        if (bad != QColor(Qt::black) && bad != QColor(Qt::white))
            QVERIFY2(bad.hue() <= 10 || bad.hue() >= 350, qPrintable(bad.name())); // red
        QVERIFY(statusColor(StatusTone::Warning, palette) != statusColor(StatusTone::Bad, palette));
    }
}

void WindowTest::inputProblemIsAWarning()
{
    showAndWaitUntilReady();
    QLabel* text = label("keyPressSimulation");
    QVERIFY(!text->isVisible());
    view_->viewModel().setKeyPressSimulation(QStringLiteral("uinput (virtual keyboard and wheel)"));
    QVERIFY(text->isVisible());
    QVERIFY(!label("keyPressIcon")->isVisible());
    QCOMPARE(colour("keyPressSimulation"), view_->palette().color(QPalette::WindowText));

    const QString problem = QStringLiteral("Key presses cannot reach this computer (a long reason "
                                           "that needs several lines). See the README.");
    view_->viewModel().setKeyPressSimulation(problem);
    view_->setKeyPressProblem(true);
    QCOMPARE(text->text(), problem);
    QCOMPARE(colour("keyPressSimulation"), toneColour(StatusTone::Warning));
    QVERIFY(label("keyPressIcon")->isVisible());
    QVERIFY(text->wordWrap());
    view_->viewModel().setKeyPressSimulation(std::nullopt);
    QVERIFY(!text->isVisible());
}

void WindowTest::failedServerOffersNoCodeUntilRefreshed()
{
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::Any));
    cleanup();
    settings_.port = occupant.serverPort();
    init();
    view_->show();
    QTRY_VERIFY(label("serverStatus")->text().startsWith(u"Server failed with error: "));
    QCOMPARE(colour("serverStatus"), toneColour(StatusTone::Bad));
    QVERIFY(label("serverStatus")->wordWrap()); // the whole reason, not a cut-off one
    QTRY_VERIFY(view_->qrView().pairingAddress().hasLookedUp());
    QCOMPARE(view_->qrView().qrCodeImage(), std::nullopt);
    QVERIFY(!label("controllerPage")->isVisible());
    QVERIFY(label("codePlaceholder")->text().contains(u"Refresh Server"));

    // Refresh restarts after a pause and looks the address up again.
    occupant.close();
    system_.interfaces = CraftedInterfaces();
    system_.interfaces.add("eth0", AF_INET, "192.168.5.5");
    QElapsedTimer sinceClick;
    sinceClick.start();
    view_->findChild<QPushButton*>("refreshServer")->click();
    QCOMPARE(label("serverStatus")->text(), QStringLiteral("Restarting server..."));
    QTRY_VERIFY_WITH_TIMEOUT(label("serverStatus")->text().startsWith(u"Server ready"), 5000);
    QVERIFY2(sinceClick.elapsed() >= 1000, qPrintable(QString::number(sinceClick.elapsed())));
    QTRY_COMPARE(label("controllerPage")->text(), QStringLiteral("http://192.168.5.5:3330"));
    QVERIFY(view_->qrView().qrCodeImage().has_value());
}

void WindowTest::gamePadsAreCounted()
{
    showAndWaitUntilReady();
    QCOMPARE(label("gamePads")->text(), QStringLiteral("Game pads: 0"));
    const QUrl pad(QStringLiteral("ws://127.0.0.1:%1/pad").arg(view_->viewModel().listeningPort()));
    TestClient first(pad);
    TestClient second(pad);
    QVERIFY(first.sync() && second.sync());
    QCOMPARE(label("gamePads")->text(), QStringLiteral("Game pads: 2"));
    first.socket.close();
    QTRY_COMPARE(label("gamePads")->text(), QStringLiteral("Game pads: 1"));
}

void WindowTest::smallestSizeFitsAndNothingOverlaps()
{
    view_->viewModel().setKeyPressSimulation(QStringLiteral("XTest on X display :0"));
    showAndWaitUntilReady();
    QTRY_VERIFY(view_->qrView().qrCodeImage().has_value()); // the page's link, the larger code
    // 1280 by 720 at 200 %, less a title bar.
    const QSize smallest = view_->minimumSizeHint();
    QVERIFY2(smallest.width() <= 640 && smallest.height() <= 330,
             qPrintable(QStringLiteral("%1x%2").arg(smallest.width()).arg(smallest.height())));
    view_->resize(smallest);
    QTest::qWait(50);

    QList<QWidget*> leaves;
    for (QWidget* widget : view_->findChildren<QWidget*>()) {
        if (widget->isVisible() && widget->findChildren<QWidget*>().isEmpty() &&
            !widget->inherits("QSplitterHandle") && widget->parentWidget()->isVisible())
            leaves.append(widget);
    }
    for (QWidget* widget : leaves) {
        const QRect area(widget->mapTo(view_.get(), QPoint()), widget->size());
        QVERIFY2(view_->rect().contains(area), qPrintable(widget->objectName()));
        QVERIFY2(widget->size().expandedTo(widget->minimumSizeHint()) == widget->size() ||
                     widget->inherits("QFrame") || widget->inherits("QScrollBar"),
                 qPrintable(QString::fromLatin1(widget->metaObject()->className()) + u' ' +
                            widget->objectName()));
        for (QWidget* other : leaves) {
            const QRect otherArea(other->mapTo(view_.get(), QPoint()), other->size());
            QVERIFY2(other == widget || !area.intersects(otherArea),
                     qPrintable(widget->objectName() + QStringLiteral(" overlaps ") +
                                other->objectName()));
        }
    }
}

void WindowTest::floodOfMessagesRefreshesOncePerTurn()
{
    showAndWaitUntilReady();
    QSignalSpy refreshes(view_.get(), &WebSocketServerView::messagesRefreshed);
    TestClient client(
        QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(view_->viewModel().listeningPort())));
    for (int i = 0; i < 5000; ++i)
        client.send(i % 2 ? QStringLiteral("-w") : QStringLiteral("w"));
    client.send("last");
    QVERIFY(client.sync());
    QTRY_COMPARE(list()->item(0)->text(), QStringLiteral("last"));
    QCOMPARE(list()->count(), 30);
    // Thousands of list changes, a handful of refreshes: one per batch read.
    QVERIFY2(refreshes.size() < 500, qPrintable(QString::number(refreshes.size())));
}

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
