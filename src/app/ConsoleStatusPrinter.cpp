#include "app/ConsoleStatusPrinter.h"

#include "server/WebSocketViewModel.h"

ConsoleStatusPrinter::ConsoleStatusPrinter(const WebSocketViewModel& model, DiagnosticLog& log,
                                           QObject* parent)
    : QObject(parent)
{
    connect(&model, &WebSocketViewModel::serverStatusChanged, this, [&model, &log] {
        log.writeLine(QStringLiteral("Server status: ") + model.serverStatus());
    });
    connect(&model, &WebSocketViewModel::connectionStatusChanged, this, [&model, &log] {
        log.writeLine(QStringLiteral("Connection status: ") + model.connectionStatus());
    });
}
