#include "app/CommandLine.h"
#include "app/DisplayProbe.h"
#include "app/HeadlessMode.h"
#include "app/KestrelioApp.h"
#include "app/ProcessSetup.h"
#include "app/QuitOnSignals.h"
#include "app/SingleInstance.h"
#include "common/DiagnosticLog.h"
#include "common/SettingsFile.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

namespace {
// One id for the desktop entry, the icon and the AppStream metadata.
const QString kAppId = QStringLiteral("io.github.kestrelio.Kestrelio");
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("kestrelio"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTRELIO_VERSION));
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const CommandLine commandLine = parseCommandLine(arguments);
    if (commandLine.exitCode) {
        std::fputs(qPrintable(commandLine.text), *commandLine.exitCode == 0 ? stdout : stderr);
        return *commandLine.exitCode;
    }

    prepareProcess();
    StdoutLog log;
    SettingsFile::prepare(log);
    if (commandLine.options.headless || !canOpenDisplay())
        return runHeadless(argc, argv, log, commandLine.options.pairedOnly);

    QApplication app(argc, argv);
    SingleInstance instance;
    switch (instance.claim()) {
    case SingleInstance::Other::None:
        break;
    case SingleInstance::Other::RaisedItsWindow:
        log.writeLine(
            QStringLiteral("Kestrelio is already running; its window was brought to the front"));
        return 0;
    case SingleInstance::Other::Headless:
    case SingleInstance::Other::Silent:
        log.writeLine(alreadyServingText());
        return 1;
    }
    QApplication::setDesktopFileName(kAppId);
    QApplication::setWindowIcon(QIcon::fromTheme(kAppId, QIcon(QStringLiteral(":/web/icon.svg"))));
    QuitOnSignals quitOnSignals;
    KestrelioApp kestrelio(log);
    instance.onRaiseRequest([&kestrelio] {
        kestrelio.bringToFront();
        return true;
    });
    return QApplication::exec();
}
