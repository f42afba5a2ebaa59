#include "TestSupport.h"
#include "XTestSupport.h"
#include "input/KeySynthesizer.h"
#include "input/ScrollSynthesizer.h"
#include "input/XTestBackend.h"

#include <QTest>

// Posts through a real X server (Xvfb) and reads back what it received.
class XTestTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void keysArriveAsKeysymsAndScrollsAsWheelButtons();

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
    KeySynthesizer keys(*backend_, log_);
    const QStringList names{"w", "up", "down", "left", "right", "start", "select", "l1"};
    const QStringList keysyms{"w", "Up", "Down", "Left", "Right", "Return", "space", "q"};
    QStringList expected;
    for (qsizetype i = 0; i < names.size(); ++i) {
        keys.simulateKey(names[i], KeyAction::Press);
        keys.simulateKey(names[i], KeyAction::Release);
        expected << "press " + keysyms[i] << "release " + keysyms[i];
    }
    QCOMPARE(recorder_->take(16), expected);

    ScrollSynthesizer scroll(*backend_, log_);
    // 0.6 is 30 pixels, not yet a detent; 0.4 more makes one.
    for (const char* message : {"mouse 0 1", "mouse 0 -1", "mouse 1 0", "mouse -1 0", "mouse 0 0.6",
                                "mouse 0 0.4", "mouse 0 2"})
        scroll.handleMouseMessage(message);
    QCOMPARE(recorder_->take(7), QStringList({"button 4", "button 5", "button 6", "button 7",
                                              "button 4", "button 4", "button 4"}));
    QCOMPARE(recorder_->take(1, 200), QStringList{});
}

QTEST_GUILESS_MAIN(XTestTest)
#include "tst_xtest.moc"
