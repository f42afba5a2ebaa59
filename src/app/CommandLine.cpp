#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace {

const QCommandLineOption kHelp({QStringLiteral("h"), QStringLiteral("help")},
                               QStringLiteral("Show this help and exit."));
const QCommandLineOption kVersion({QStringLiteral("v"), QStringLiteral("version")},
                                  QStringLiteral("Show the version and exit."));
const QCommandLineOption kHeadless(
    QStringLiteral("headless"),
    QStringLiteral("Run without a window, even where a display could be opened: statuses and "
                   "the pairing code go to the terminal."));
const QCommandLineOption kPairedOnly(
    QStringLiteral("paired-only"),
    QStringLiteral("Headless: serve only this computer, browsers paired by the code and trusted "
                   "devices (there is nobody to ask about a new one)."));

QString usage(const QCommandLineParser& parser)
{
    // No application object exists yet, so Qt cannot name the program itself.
    return parser.helpText().replace(QStringLiteral("<executable_name>"),
                                     QCoreApplication::applicationName());
}

} // namespace

CommandLine parseCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Use a phone as a game pad for this computer (port 3330)."));
    parser.addOptions({kHelp, kVersion, kHeadless, kPairedOnly});

    CommandLine result;
    const QString name = QCoreApplication::applicationName();
    if (!parser.parse(arguments)) {
        result.exitCode = 2;
        result.text = name + QStringLiteral(": ") + parser.errorText() + u'\n' + usage(parser);
    } else if (!parser.positionalArguments().isEmpty()) {
        result.exitCode = 2;
        result.text = name + QStringLiteral(": unexpected argument: ") +
                      parser.positionalArguments().constFirst() + u'\n' + usage(parser);
    } else if (parser.isSet(kHelp)) {
        result.exitCode = 0;
        result.text = usage(parser);
    } else if (parser.isSet(kVersion)) {
        result.exitCode = 0;
        result.text = name + u' ' + QCoreApplication::applicationVersion() + u'\n';
    }
    result.options.headless = parser.isSet(kHeadless);
    result.options.pairedOnly = parser.isSet(kPairedOnly);
    return result;
}
