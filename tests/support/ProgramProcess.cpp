#include "ProgramProcess.h"

#include <QTest>

ProgramProcess::ProgramProcess(const QStringList& environment, const QByteArray& display)
{
    QProcessEnvironment settings = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        settings.remove(QString::fromLatin1(name));
    if (!display.isEmpty())
        settings.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
    settings.insert(QStringLiteral("XDG_CONFIG_HOME"), config_.path());
    settings.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime_.path());
    for (const QString& pair : environment)
        settings.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
    process.setProcessEnvironment(settings);
}

ProgramProcess::~ProgramProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

void ProgramProcess::start(const QStringList& arguments, const QStringList& wrapper)
{
    QStringList command = wrapper + QStringList{QStringLiteral(KESTRELIO_BINARY)} + arguments;
    process.start(command.takeFirst(), command);
}

bool ProgramProcess::waitFor(const QByteArray& text, int timeoutMs)
{
    return QTest::qWaitFor(
        [&] {
            output += process.readAllStandardOutput();
            return output.contains(text);
        },
        timeoutMs);
}

bool ProgramProcess::finished(int exitCode)
{
    const bool ended = process.state() == QProcess::NotRunning || process.waitForFinished(5000);
    output += process.readAllStandardOutput();
    return ended && process.exitStatus() == QProcess::NormalExit && process.exitCode() == exitCode;
}

bool ProgramProcess::quit(int signal)
{
    ::kill(pid_t(process.processId()), signal);
    return finished();
}
