// The production server for tests that drive it from outside (the browser
// test), with the test seams: an ephemeral port and a short heartbeat. It
// prints what the headless program prints, statuses included.
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
    WebSocketViewModel model(events, log, settings);
    ConsoleStatusPrinter printer(model, log);
    model.startServer();
    log.writeLine(QStringLiteral("Pairing secret: ") +
                  QString::fromLatin1(model.trust().pairingSecret()));
    return QCoreApplication::exec();
}
