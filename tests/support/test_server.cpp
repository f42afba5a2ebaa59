// The production server for tests that drive it from outside (the browser
// test), with the test seams: an ephemeral port, a short heartbeat and game
// pads that print each frame ("pad 1: ABS_X 32767 ABS_Y 0") instead of
// needing a kernel. It prints what the headless program prints, statuses
// included. With KESTRELIO_TEST_INPUT_OFF set, it says that nothing can be
// typed, for that reason.
#include "RecordingPads.h"
#include "app/ConsoleStatusPrinter.h"
#include "common/DiagnosticLog.h"
#include "input/EventLayer.h"
#include "server/WebSocketViewModel.h"

#include <QCoreApplication>

using namespace std::chrono_literals;

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    StdoutLog log;
    NullEventLayer events;
    ServerSettings settings;
    settings.port = 0;
    settings.heartbeat.pingInterval = 300ms;
    settings.heartbeat.checkInterval = 300ms;
    settings.heartbeat.livenessThresholdSeconds = 1.5;
    settings.padDevices = std::make_shared<RecordingPadFactory>();
    WebSocketViewModel model(events, log, settings);
    ConsoleStatusPrinter printer(model, log);
    if (qEnvironmentVariableIsSet("KESTRELIO_TEST_INPUT_OFF"))
        model.setInputOffReason(qEnvironmentVariable("KESTRELIO_TEST_INPUT_OFF"));
    model.startServer();
    log.writeLine(QStringLiteral("Pairing secret: ") +
                  QString::fromLatin1(model.trust().pairingSecret()));
    return QCoreApplication::exec();
}
