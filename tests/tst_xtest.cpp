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
    void keysArriveAsTheirKeysyms();
    void scrollsArriveAsWheelButtons();
    void missingDisplayIsAnError();

private:
    std::unique_ptr<XvfbServer> xvfb_;
    std::unique_ptr<XInputRecorder> recorder_;
    RecordingLog log_;
    std::unique_ptr<XTestBackend> backend_;
};

void XTestTest::initTestCase()
{
    xvfb_ = std::make_unique<XvfbServer>();
    QVERIFY2(xvfb_->isRunning(), "Xvfb did not start (the test command installs xvfb)");
    recorder_ = std::make_unique<XInputRecorder>(xvfb_->displayName());
    QVERIFY(recorder_->isReady());
    QString error;
    backend_ = XTestBackend::connect(xvfb_->displayName(), log_, error);
    QVERIFY2(backend_, qPrintable(error));
    QCOMPARE(backend_->displayName().toLatin1(), xvfb_->displayName());
}

void XTestTest::keysArriveAsTheirKeysyms()
{
    KeySynthesizer keys(*backend_, log_);
    for (const char* name : {"w", "up", "down", "left", "right", "start", "select", "l1"}) {
        keys.simulateKey(name, KeyAction::Press);
        keys.simulateKey(name, KeyAction::Release);
    }
    QCOMPARE(
        recorder_->take(16),
        QStringList({"press w", "release w", "press Up", "release Up", "press Down", "release Down",
                     "press Left", "release Left", "press Right", "release Right", "press Return",
                     "release Return", "press space", "release space", "press q", "release q"}));
}

void XTestTest::scrollsArriveAsWheelButtons()
{
    ScrollSynthesizer scroll(*backend_, log_);
    scroll.handleMouseMessage("mouse 0 1");
    scroll.handleMouseMessage("mouse 0 -1");
    scroll.handleMouseMessage("mouse 1 0");
    scroll.handleMouseMessage("mouse -1 0");
    scroll.handleMouseMessage("mouse 0 0.6"); // 30 pixels: not yet a detent
    scroll.handleMouseMessage("mouse 0 0.4"); // 20 more: now one
    scroll.handleMouseMessage("mouse 0 2");
    QCOMPARE(recorder_->take(7), QStringList({"button 4", "button 5", "button 6", "button 7",
                                              "button 4", "button 4", "button 4"}));
    QCOMPARE(recorder_->take(1, 200), QStringList{});
}

void XTestTest::missingDisplayIsAnError()
{
    RecordingLog log;
    QString error;
    QVERIFY(!XTestBackend::connect(":4711", log, error));
    QCOMPARE(error, QStringLiteral("cannot open X display :4711"));
}

QTEST_GUILESS_MAIN(XTestTest)
#include "tst_xtest.moc"
