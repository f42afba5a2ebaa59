#include "pairing/TerminalPairing.h"

#include "pairing/QrCode.h"

void printPairing(DiagnosticLog& log, const std::optional<QString>& address)
{
    if (!address) {
        log.writeLine(QStringLiteral("Failed to fetch IP Address"));
        return;
    }
    log.writeLine(QStringLiteral("Pairing address: ") + *address);
    if (const std::optional<QrSymbol> symbol = encodeQrSymbol(address->toUtf8())) {
        for (const QString& line : renderForTerminal(*symbol))
            log.writeLine(line);
    }
}
