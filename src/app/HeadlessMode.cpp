#include "app/HeadlessMode.h"

#include "app/ConsoleStatusPrinter.h"
#include "app/QuitOnSignals.h"
#include "controller/GameControllerManager.h"
#include "input/ActiveInputLayer.h"
#include "input/InputBackendChoice.h"
#include "pairing/PairingAddress.h"
#include "pairing/TerminalPairing.h"
#include "server/WebSocketViewModel.h"

#include <QCoreApplication>

int runHeadless(int argc, char* argv[], DiagnosticLog& log, bool pairedOnly)
{
    QCoreApplication app(argc, argv);
    ActiveInputLayer input;
    chooseInputBackend(input, log);
    WebSocketViewModel model(input, log);
    model.setKeyPressSimulation(input.summary());
    QObject::connect(&input, &ActiveInputLayer::summaryChanged, &model,
                     [&model](const QString& summary) { model.setKeyPressSimulation(summary); });
    ConsoleStatusPrinter printer(model, log);
    GameControllerManager controllers(input, log);
    QuitOnSignals quitOnSignals;
    DeviceTrust& trust = model.trust();
    trust.setStrangerPolicy(pairedOnly ? StrangerPolicy::Refuse : StrangerPolicy::Serve);
    log.writeLine(pairedOnly ? QStringLiteral("Serving only this computer, paired browsers and "
                                              "trusted devices")
                             : QStringLiteral("Serving any client on this computer's local "
                                              "network (no window to ask before a new device "
                                              "types)"));
    model.startServer();
    // Printed again whenever the network gives this computer another address,
    // and for every new pairing secret.
    PairingAddress pairing;
    const auto print = [&] {
        printPairing(log, pairing.address(), trust.pairingSecret());
    };
    QObject::connect(&pairing, &PairingAddress::changed, &app, print);
    QObject::connect(&trust, &DeviceTrust::pairingSecretChanged, &app, print);
    pairing.lookUpSoon();

    const int status = QCoreApplication::exec();
    // XTest keeps a key down after its client is gone; let go while we still can.
    model.releaseAllKeys();
    return status;
}
