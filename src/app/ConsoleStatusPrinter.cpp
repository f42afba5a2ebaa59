#include "app/ConsoleStatusPrinter.h"

#include "server/WebSocketViewModel.h"

ConsoleStatusPrinter::ConsoleStatusPrinter(const WebSocketViewModel& model, DiagnosticLog& log,
                                           QObject* parent)
    : QObject(parent)
{
    // Every pong rewrites the connection status; only a change is news.
    connect(&model, &WebSocketViewModel::serverStatusChanged, this, [this, &model, &log] {
        printIfChanged(log, QStringLiteral("Server status: ") + model.serverStatus());
    });
    connect(&model, &WebSocketViewModel::connectionStatusChanged, this, [this, &model, &log] {
        printIfChanged(log, QStringLiteral("Connection status: ") + model.connectionStatus());
    });
}

void ConsoleStatusPrinter::printIfChanged(DiagnosticLog& log, const QString& line)
{
    QString& last = line.startsWith(u"Server") ? lastServerLine_ : lastConnectionLine_;
    if (line == last)
        return;
    last = line;
    log.writeLine(line);
}
