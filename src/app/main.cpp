#include "app/DisplayProbe.h"
#include "app/HeadlessMode.h"
#include "app/KestrelioApp.h"
#include "app/ProcessSetup.h"
#include "app/QuitOnSignals.h"
#include "common/DiagnosticLog.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("kestrelio"));
    prepareProcess();
    StdoutLog log;
    if (!canOpenDisplay())
        return runHeadless(argc, argv, log);

    QApplication app(argc, argv);
    QApplication::setDesktopFileName(QStringLiteral("kestrelio"));
    QApplication::setWindowIcon(
        QIcon::fromTheme(QStringLiteral("kestrelio"), QIcon(QStringLiteral(":/web/icon.svg"))));
    QuitOnSignals quitOnSignals;
    KestrelioApp kestrelio(log);
    return QApplication::exec();
}
