#include "pairing/TerminalPairing.h"

#include "pairing/AddressDiscovery.h"
#include "pairing/QrCode.h"
#include "trust/DeviceTrust.h"

void printPairing(DiagnosticLog& log, const std::optional<QString>& address, QByteArrayView secret)
{
    if (!address) {
        log.writeLine(QStringLiteral("Failed to fetch IP Address"));
        return;
    }
    log.writeLine(QStringLiteral("Pairing address: ") + *address);
    const QString page = pairingPageUrl(controllerPageAddress(*address), secret);
    log.writeLine(QStringLiteral("Controller page for a phone's browser: ") + page);
    if (const std::optional<QrSymbol> symbol = encodeQrSymbol(page.toUtf8())) {
        for (const QString& line : renderForTerminal(*symbol))
            log.writeDrawingLine(line);
    }
    log.writeLine(QStringLiteral("With motion controls (https): ") +
                  pairingPageUrl(secureControllerPageAddress(*address), secret));
}
