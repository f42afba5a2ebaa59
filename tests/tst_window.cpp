#include "FakeInterfaces.h"
#include "TestSupport.h"
#include "ui/StatusColors.h"
#include "ui/WebSocketServerView.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QSplitter>
#include <QTest>

// The window's content under Qt's offscreen platform, with a real server.
class WindowTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void firstDrawingThenReadyOnceShown();
    void coloursFollowTheTexts_data();
    void coloursFollowTheTexts();
    void listShowsTheNewestThirtyAsRows();
    void refreshRestartsLaterAndRendersTheCodeAgain();
    void twoQuickRefreshesRenderTwice();
    void keyPressBlockFollowsItsField();
    void columnsKeepTheirMinimumWidth();
    void floodOfMessagesRefreshesOncePerTurn();

private:
    QLabel* label(const char* name) { return view_->findChild<QLabel*>(name); }
    QListWidget* list() { return view_->findChild<QListWidget*>("receivedMessages"); }
    void showAndWaitUntilReady();

    RecordingEventLayer events_;
    RecordingLog log_;
    FakeSystem system_;
    std::unique_ptr<WebSocketServerView> view_;
};

void WindowTest::init()
{
    view_ = std::make_unique<WebSocketServerView>(events_, log_, testSettings(), system_.source());
    view_->resize(900, 650);
}

void WindowTest::cleanup()
{
    view_.reset();
}

void WindowTest::showAndWaitUntilReady()
{
    view_->show();
    QTRY_VERIFY(label("serverStatus")->text().startsWith(u"Server ready on port "));
}

void WindowTest::firstDrawingThenReadyOnceShown()
{
    QCOMPARE(label("serverStatus")->text(), QStringLiteral("Stopped"));
    QCOMPARE(label("serverStatus")->palette().color(QPalette::WindowText), kBadColor);
    QCOMPARE(label("connectionStatus")->text(), QStringLiteral("Not connected"));
    QCOMPARE(label("connectionStatus")->palette().color(QPalette::WindowText), kBadColor);
    QCOMPARE(list()->count(), 0);
    QCOMPARE(view_->qrView().qrCodeImage(), std::nullopt);
    QCOMPARE(view_->viewModel().listeningPort(), quint16(0)); // nothing starts before it shows

    QStringList shown;
    connect(&view_->viewModel(), &WebSocketViewModel::serverStatusChanged, this,
            [&] { shown.append(label("serverStatus")->text()); });
    showAndWaitUntilReady();
    QCOMPARE(shown,
             QStringList({"Starting server...", QStringLiteral("Server ready on port %1")
                                                    .arg(view_->viewModel().listeningPort())}));
    QCOMPARE(label("serverStatus")->palette().color(QPalette::WindowText), kGoodColor);
    QTRY_VERIFY(view_->qrView().qrCodeImage().has_value());
    QCOMPARE(label("controllerPage")->text(), QStringLiteral("http://192.168.1.20:3330"));
    QVERIFY(label("controllerPage")->isVisible());
}

void WindowTest::coloursFollowTheTexts_data()
{
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("serverGood");
    QTest::addColumn<bool>("connectionGood");
    QTest::newRow("ready") << "Server ready on port 3330" << true << false;
    QTest::newRow("stopped") << "Stopped" << false << false;
    QTest::newRow("starting") << "Starting server..." << false << false;
    QTest::newRow("restarting") << "Restarting server..." << false << false;
    QTest::newRow("connected") << "Connected" << true << true;
    QTest::newRow("connected, lower case") << "connected" << false << false;
    QTest::newRow("connected and a blank") << "Connected " << false << false;
    QTest::newRow("Ready with a capital") << "Ready" << false << false;
    QTest::newRow("ready inside a word")
        << "Server failed with error: already bound" << true << false;
    QTest::newRow("not connected") << "Not connected" << false << false;
    QTest::newRow("failed") << "Connection Failed" << false << false;
}

void WindowTest::coloursFollowTheTexts()
{
    QFETCH(QString, status);
    QFETCH(bool, serverGood);
    QFETCH(bool, connectionGood);
    QCOMPARE(serverStatusColor(status), serverGood ? kGoodColor : kBadColor);
    QCOMPARE(connectionStatusColor(status), connectionGood ? kGoodColor : kBadColor);
}

void WindowTest::listShowsTheNewestThirtyAsRows()
{
    showAndWaitUntilReady();
    TestClient client(
        QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(view_->viewModel().listeningPort())));
    for (int i = 0; i < 33; ++i)
        client.send(QStringLiteral("k%1").arg(i));
    client.send("a");
    client.send("-a");
    client.send("a"); // the same name again: its own row
    QVERIFY(client.sync());
    QTRY_COMPARE(list()->count(), 30);
    QCOMPARE(list()->item(0)->text(), QStringLiteral("a"));
    QCOMPARE(list()->item(1)->text(), QStringLiteral("a"));
    QCOMPARE(list()->item(2)->text(), QStringLiteral("k32"));
    QCOMPARE(list()->item(29)->text(), QStringLiteral("k5"));
    QCOMPARE(list()->selectionMode(), QAbstractItemView::NoSelection);
}

void WindowTest::refreshRestartsLaterAndRendersTheCodeAgain()
{
    showAndWaitUntilReady();
    QTRY_VERIFY(view_->qrView().qrCodeImage().has_value());
    TestClient client(
        QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(view_->viewModel().listeningPort())));
    client.send("pong");
    client.send("w");
    QVERIFY(client.sync());
    QTRY_COMPARE(list()->count(), 1);

    QSignalSpy renders(&view_->qrView(), &QrView::qrCodeImageChanged);
    const int lookups = system_.queries;
    QElapsedTimer sinceClick;
    qint64 startedAfter = -1;
    connect(&view_->viewModel(), &WebSocketViewModel::serverStatusChanged, this, [&] {
        if (view_->viewModel().serverStatus() == u"Starting server...")
            startedAfter = sinceClick.elapsed();
    });
    sinceClick.start();
    view_->findChild<QPushButton*>("refreshServer")->click();

    QCOMPARE(label("serverStatus")->text(), QStringLiteral("Restarting server..."));
    QCOMPARE(label("serverStatus")->palette().color(QPalette::WindowText), kBadColor);
    QCOMPARE(label("connectionStatus")->text(), QStringLiteral("Not connected"));
    QCOMPARE(renders.size(), 1);
    QVERIFY(view_->triggerRegeneration().value());
    QTRY_COMPARE(list()->count(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(label("serverStatus")->text().startsWith(u"Server ready"), 5000);
    QVERIFY2(startedAfter >= 1000, qPrintable(QString::number(startedAfter)));
    QCOMPARE(system_.queries, lookups); // the code was rendered again, not looked up again
}

void WindowTest::twoQuickRefreshesRenderTwice()
{
    showAndWaitUntilReady();
    QTRY_VERIFY(view_->qrView().qrCodeImage().has_value());
    QSignalSpy renders(&view_->qrView(), &QrView::qrCodeImageChanged);
    auto* button = view_->findChild<QPushButton*>("refreshServer");
    button->click();
    button->click();
    QCOMPARE(renders.size(), 2);
    QVERIFY(!view_->triggerRegeneration().value());
    QTRY_VERIFY_WITH_TIMEOUT(label("serverStatus")->text().startsWith(u"Server ready"), 5000);
}

void WindowTest::keyPressBlockFollowsItsField()
{
    showAndWaitUntilReady();
    QLabel* text = label("keyPressSimulation");
    QVERIFY(!text->isVisible());
    view_->viewModel().setKeyPressSimulation(QStringLiteral("uinput (virtual keyboard and wheel)"));
    QVERIFY(text->isVisible());
    QCOMPARE(text->text(), QStringLiteral("uinput (virtual keyboard and wheel)"));
    QCOMPARE(text->palette().color(QPalette::WindowText), kNoticeColor);
    const QList<QLabel*> titles = view_->findChildren<QLabel*>();
    QVERIFY(std::any_of(titles.begin(), titles.end(), [](QLabel* l) {
        return l->isVisible() && l->text() == u"Key Press Simulation";
    }));
    view_->viewModel().setKeyPressSimulation(std::nullopt);
    QVERIFY(!text->isVisible());
    QVERIFY(std::none_of(titles.begin(), titles.end(), [](QLabel* l) {
        return l->isVisible() && l->text() == u"Key Press Simulation";
    }));
}

void WindowTest::columnsKeepTheirMinimumWidth()
{
    view_->resize(1400, 700);
    showAndWaitUntilReady();
    auto* splitter = view_->findChild<QSplitter*>();
    QVERIFY(!splitter->childrenCollapsible());
    QVERIFY(splitter->height() >= 400);
    splitter->setSizes({10, 1, 5000});
    QTRY_VERIFY(splitter->widget(0)->width() >= 300);
    splitter->setSizes({5000, 1, 10});
    QTRY_VERIFY(splitter->widget(2)->width() >= 300);
    QVERIFY(splitter->widget(0)->width() >= 300);
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
