#include "PrivateBus.h"

#include <QFile>

PrivateBus::PrivateBus(Kind kind)
{
    const QString socket = dir_.filePath(QStringLiteral("bus"));
    QFile config(dir_.filePath(QStringLiteral("bus.conf")));
    if (!config.open(QIODevice::WriteOnly))
        return;
    config.write("<busconfig>\n"
                 "  <type>" +
                 QByteArray(kind == Kind::System ? "system" : "session") +
                 "</type>\n"
                 "  <listen>unix:path=" +
                 QFile::encodeName(socket) +
                 "</listen>\n"
                 "  <auth>EXTERNAL</auth>\n"
                 "  <policy context=\"default\">\n"
                 "    <allow user=\"*\"/>\n"
                 "    <allow own=\"*\"/>\n"
                 "    <allow send_destination=\"*\"/>\n"
                 "    <allow receive_sender=\"*\"/>\n"
                 "  </policy>\n"
                 "</busconfig>\n");
    config.close();
    daemon_.setStandardErrorFile(QProcess::nullDevice());
    daemon_.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                   QStringLiteral("--print-address")});
    // It prints the address once it listens.
    if (daemon_.waitForStarted(5000) && daemon_.waitForReadyRead(5000))
        address_ = QStringLiteral("unix:path=") + socket;
}

PrivateBus::~PrivateBus()
{
    daemon_.terminate();
    if (!daemon_.waitForFinished(5000))
        daemon_.kill();
}
