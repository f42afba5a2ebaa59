#include "pairing/TerminalPairing.h"

#include "pairing/AddressDiscovery.h"
#include "pairing/QrCode.h"

void printPairing(DiagnosticLog& log, const std::optional<QString>& address)
{
    if (!address) {
        log.writeLine(QStringLiteral("Failed to fetch IP Address"));
        return;
    }
    log.writeLine(QStringLiteral("Pairing address: ") + *address);
    log.writeLine(QStringLiteral("Controller page for a phone's browser: ") +
                  controllerPageAddress(*address));
    if (const std::optional<QrSymbol> symbol =
            encodeQrSymbol(pairingCodeContent(*address).toUtf8())) {
        for (const QString& line : renderForTerminal(*symbol))
            log.writeLine(line);
    }
}
