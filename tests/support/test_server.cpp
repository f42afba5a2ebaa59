// The production server for tests that drive it from outside (the browser
// test), with the test seams: an ephemeral port, a short heartbeat and game
// pads that print each frame ("pad 1: ABS_X 32767 ABS_Y 0") instead of
// needing a kernel. It prints what the headless program prints, statuses
// included. With KESTRELIO_TEST_INPUT_OFF set, it says that nothing can be
// typed, for that reason. With KESTRELIO_TEST_XVFB set, it types through XTest
// into an Xvfb of its own and prints what that X server received ("X: press
// w", "X: press button 1") and where its pointer went ("X: pointer 640 400").
#include "RecordingPads.h"
#include "XTestSupport.h"
#include "app/ConsoleStatusPrinter.h"
#include "common/DiagnosticLog.h"
#include "input/EventLayer.h"
#include "input/XTestBackend.h"
#include "server/WebSocketViewModel.h"

#include <QCoreApplication>
#include <QTimer>

#include <memory>

using namespace std::chrono_literals;

namespace {

// Reports what the X server received, as a second client would.
class XReport
{
public:
    XReport(const QByteArray& display, DiagnosticLog& log) : recorder_(display), log_(log)
    {
        timer_.callOnTimeout([this] { report(); });
        timer_.start(10ms);
    }
    bool isReady() const { return recorder_.isReady(); }

private:
    void report()
    {
        for (QString event = recorder_.next(0); !event.isEmpty(); event = recorder_.next(0))
            log_.writeLine(QStringLiteral("X: ") + event);
        if (const QPoint pointer = recorder_.pointer(); pointer != pointer_) {
            pointer_ = pointer;
            log_.writeLine(QStringLiteral("X: pointer %1 %2").arg(pointer.x()).arg(pointer.y()));
        }
    }

    XInputRecorder recorder_;
    DiagnosticLog& log_;
    QTimer timer_;
    QPoint pointer_{-1, -1};
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    StdoutLog log;
    NullEventLayer nothing;
    EventLayer* events = &nothing;
    std::unique_ptr<XvfbServer> xvfb;
    std::unique_ptr<XTestBackend> xtest;
    std::unique_ptr<XReport> report;
    if (qEnvironmentVariableIsSet("KESTRELIO_TEST_XVFB")) {
        xvfb = std::make_unique<XvfbServer>();
        QString error;
        if (xvfb->isRunning())
            xtest = XTestBackend::connect(xvfb->displayName(), log, error);
        if (xtest)
            report = std::make_unique<XReport>(xvfb->displayName(), log);
        if (!report || !report->isReady()) {
            log.writeLine(QStringLiteral("No Xvfb to type into: ") + error);
            return 1;
        }
        events = xtest.get();
    }
    ServerSettings settings;
    settings.port = 0;
    settings.heartbeat.pingInterval = 300ms;
    settings.heartbeat.checkInterval = 300ms;
    settings.heartbeat.livenessThresholdSeconds = 1.5;
    settings.padDevices = std::make_shared<RecordingPadFactory>();
    WebSocketViewModel model(*events, log, settings);
    ConsoleStatusPrinter printer(model, log);
    if (qEnvironmentVariableIsSet("KESTRELIO_TEST_INPUT_OFF"))
        model.setInputOffReason(qEnvironmentVariable("KESTRELIO_TEST_INPUT_OFF"));
    model.startServer();
    log.writeLine(QStringLiteral("Pairing secret: ") +
                  QString::fromLatin1(model.trust().pairingSecret()));
    return QCoreApplication::exec();
}
