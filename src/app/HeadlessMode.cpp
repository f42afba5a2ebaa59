#include "app/HeadlessMode.h"

#include "app/ConsoleStatusPrinter.h"
#include "app/NetworkThread.h"
#include "app/QuitOnSignals.h"
#include "app/SingleInstance.h"
#include "controller/GameControllerManager.h"
#include "input/ActiveInputLayer.h"
#include "input/InputBackendChoice.h"
#include "pairing/PairingAddress.h"
#include "pairing/TerminalPairing.h"
#include "server/WebSocketViewModel.h"

#include <QCoreApplication>

namespace {

// Everything that lives on the network thread: the server, its printed
// statuses and the pairing code, printed again whenever the network gives
// this computer another address, and for every new pairing secret.
struct HeadlessServer
{
    HeadlessServer(ActiveInputLayer& input, DiagnosticLog& log)
        : model(input, log), printer(model, log)
    {
        model.setKeyPressSimulation(input.summary());
        model.setInputOffReason(input.offReason());
    }

    void start(DiagnosticLog& log, bool pairedOnly)
    {
        DeviceTrust& trust = model.trust();
        trust.setStrangerPolicy(pairedOnly ? StrangerPolicy::Refuse : StrangerPolicy::Serve);
        log.writeLine(pairedOnly ? QStringLiteral("Serving only this computer, paired browsers "
                                                  "and trusted devices")
                                 : QStringLiteral("Serving any client on this computer's local "
                                                  "network (no window to ask before a new "
                                                  "device types)"));
        model.startServer();
        QObject::connect(&model, &WebSocketViewModel::tlsChanged, &model,
                         [this, &log] { printFingerprint(log, model.tls()); });
        const auto print = [this, &log, &trust] {
            if (pairing.address())
                model.coverPairingAddress(*pairing.address());
            printPairing(log, pairing.address(), trust.pairingSecret());
        };
        QObject::connect(&pairing, &PairingAddress::changed, &model, print);
        QObject::connect(&trust, &DeviceTrust::pairingSecretChanged, &model, print);
        pairing.lookUpSoon();
    }

    WebSocketViewModel model;
    ConsoleStatusPrinter printer;
    PairingAddress pairing;
};

} // namespace

int runHeadless(int argc, char* argv[], DiagnosticLog& log, bool pairedOnly)
{
    QCoreApplication app(argc, argv);
    SingleInstance instance;
    if (instance.claim() != SingleInstance::Other::None) {
        log.writeLine(alreadyServingText());
        return 1;
    }
    ActiveInputLayer input;
    chooseInputBackend(input, log);
    NetworkThread network(log);
    std::unique_ptr<HeadlessServer> server;
    network.run([&] { server = std::make_unique<HeadlessServer>(input, log); });
    const QMetaObject::Connection followInput = QObject::connect(
        &input, &ActiveInputLayer::summaryChanged, &app, [&](const QString& summary) {
            const std::optional<QString> offReason = input.offReason();
            network.run([&] {
                server->model.setKeyPressSimulation(summary);
                server->model.setInputOffReason(offReason);
            });
        });
    GameControllerManager controllers(input, log);
    QuitOnSignals quitOnSignals;
    network.run([&] { server->start(log, pairedOnly); });

    const int status = QCoreApplication::exec();
    QObject::disconnect(followInput);
    network.run([&] {
        // XTest keeps a key down after its client is gone; let go while we still can.
        server->model.releaseAllKeys();
        server.reset();
    });
    return status;
}
