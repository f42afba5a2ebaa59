#include "app/ConsoleStatusPrinter.h"
#include "common/DiagnosticLog.h"
#include "input/EventLayer.h"
#include "server/WebSocketViewModel.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrelio"));

    StdoutLog log;
    NullEventLayer events;
    WebSocketViewModel model(events, log);
    ConsoleStatusPrinter printer(model, log);
    model.startServer();
    return QCoreApplication::exec();
}
