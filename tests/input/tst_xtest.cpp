#include "TestSupport.h"
#include "XTestSupport.h"
#include "input/XTestBackend.h"

#include <QElapsedTimer>
#include <QTest>

// A phone's messages, posted through a real X server (Xvfb) and read back
// as another client sees them.
class XTestTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void keysArriveAsKeysymsAndScrollsAsWheelButtons();
    void pointerMovesAndClicks();

private:
    std::unique_ptr<XvfbServer> xvfb_;
    std::unique_ptr<XInputRecorder> recorder_;
    RecordingLog log_;
    std::unique_ptr<XTestBackend> backend_;
};

void XTestTest::initTestCase()
{
    QString error;
    QVERIFY(!XTestBackend::connect(":4711", log_, error));
    QCOMPARE(error, QStringLiteral("cannot open X display :4711"));

    xvfb_ = std::make_unique<XvfbServer>();
    QVERIFY2(xvfb_->isRunning(), "Xvfb did not start (the test command installs xvfb)");
    recorder_ = std::make_unique<XInputRecorder>(xvfb_->displayName());
    QVERIFY(recorder_->isReady());
    backend_ = XTestBackend::connect(xvfb_->displayName(), log_, error);
    QVERIFY2(backend_, qPrintable(error));
}

void XTestTest::keysArriveAsKeysymsAndScrollsAsWheelButtons()
{
    ServerHarness server(testSettings(), backend_.get());
    TestClient phone(server.url());
    const QList<std::pair<const char*, const char*>> keys{
        {"w", "w"},          {"up", "Up"},
        {"down", "Down"},    {"left", "Left"},
        {"right", "Right"},  {"start", "Return"},
        {"select", "space"}, {"l1", "q"},
        {"esc", "Escape"},   {"leftshift", "Shift_L"},
        {"f5", "F5"},        {"1", "1"},
        {"space", "space"}};
    QStringList expected;
    for (const auto& [name, keysym] : keys) {
        phone.send(QString::fromLatin1(name));
        phone.send(u'-' + QString::fromLatin1(name));
        expected << QStringLiteral("press ") + keysym << QStringLiteral("release ") + keysym;
    }
    QCOMPARE(recorder_->take(int(expected.size())), expected);

    // 0.6 is 30 pixels, not yet a detent; 0.4 more makes one.
    for (const char* message : {"mouse 0 1", "mouse 0 -1", "mouse 1 0", "mouse -1 0", "mouse 0 0.6",
                                "mouse 0 0.4", "mouse 0 2"})
        phone.send(QString::fromLatin1(message));
    QCOMPARE(recorder_->take(7), QStringList({"button 4", "button 5", "button 6", "button 7",
                                              "button 4", "button 4", "button 4"}));
    QCOMPARE(recorder_->take(1, 200), QStringList{});
}

// The pointer moves by what was asked, and a button a vanished phone holds
// is let go once the heartbeat misses it.
void XTestTest::pointerMovesAndClicks()
{
    ServerHarness server(testSettings(), backend_.get());
    TestClient phone(server.url());
    const QPoint start = recorder_->pointer();
    // One answer to the heartbeat, then silence.
    for (const char* message : {"pong", "move 100 50", "move 0.5 -0.5", "move 0.5 -0.5"})
        phone.send(QString::fromLatin1(message));
    QVERIFY(phone.sync());
    QTRY_COMPARE(recorder_->pointer() - start, QPoint(101, 49));

    for (const char* message : {"btn_left", "-btn_left", "btn_middle", "-btn_middle", "btn_right"})
        phone.send(QString::fromLatin1(message));
    QCOMPARE(recorder_->take(5),
             QStringList({"press button 1", "release button 1", "press button 2",
                          "release button 2", "press button 3"}));
    QElapsedTimer sinceSilent;
    sinceSilent.start();
    QCOMPARE(recorder_->take(1, 25000), QStringList{"release button 3"});
    qInfo("button up %lld ms after the phone fell silent", sinceSilent.elapsed());
}

QTEST_GUILESS_MAIN(XTestTest)
#include "tst_xtest.moc"
