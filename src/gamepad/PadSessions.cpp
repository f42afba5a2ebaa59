#include "gamepad/PadSessions.h"

#include "server/ClientConnection.h"

#include <QWebSocketProtocol>

PadSessions::PadSessions(std::shared_ptr<PadDeviceFactory> factory, DiagnosticLog& log,
                         QObject* parent)
    : QObject(parent), factory_(std::move(factory)), log_(log)
{}

PadSessions::~PadSessions() = default;

int PadSessions::freePlayer() const
{
    for (int player = 1; player <= kMaxPads; ++player) {
        const bool taken =
            std::any_of(sessions_.cbegin(), sessions_.cend(),
                        [player](const auto& entry) { return entry.second.player == player; });
        if (!taken)
            return player;
    }
    return 0;
}

void PadSessions::open(ClientConnection& connection)
{
    if (sessions_.count(&connection) != 0)
        return;
    const int player = freePlayer();
    if (player == 0) {
        const QString reason = QStringLiteral("All %1 game pads are in use").arg(kMaxPads);
        log_.writeLine(
            QStringLiteral("No game pad for %1: %2").arg(connection.peerAddress(), reason));
        connection.close(QWebSocketProtocol::CloseCodePolicyViolated, reason);
        return;
    }
    QString error;
    std::unique_ptr<PadDevice> device = factory_->create(player, log_, error);
    if (!device) {
        log_.writeLine(
            QStringLiteral("No game pad for %1: %2").arg(connection.peerAddress(), error));
        // Whoever holds the phone may not have the README; the window says how.
        connection.close(QWebSocketProtocol::CloseCodeBadOperation,
                         QStringLiteral("Game pads are off on this computer. On the computer: "
                                        "see \"Game pads\" in Kestrelio's window"));
        emit devicesAvailable(false);
        return;
    }
    emit devicesAvailable(true);
    connect(device.get(), &PadDevice::rumble, &connection,
            [&connection](quint16 strong, quint16 weak, quint16 milliseconds) {
                connection.send(
                    QStringLiteral("RUMBLE %1 %2 %3").arg(strong).arg(weak).arg(milliseconds));
            });
    sessions_.emplace(&connection, Session{player, std::move(device), {}, 0});
    log_.writeLine(QStringLiteral("Game pad %1 connected (%2)").arg(player).arg(padName(player)));
    connection.send(QStringLiteral("PLAYER %1").arg(player));
    emit countChanged();
}

void PadSessions::handleMessage(ClientConnection& connection, const QString& text)
{
    const auto it = sessions_.find(&connection);
    if (it == sessions_.end())
        return;
    Session& session = it->second;
    const PadMessage message = parsePadMessage(text);
    if (const auto* ignored = std::get_if<IgnoredPadMessage>(&message)) {
        if (session.ignoredMessages++ == 0)
            log_.writeLine(QStringLiteral("Ignored a game pad message from %1: %2")
                               .arg(connection.peerAddress(), ignored->reason));
        return;
    }
    session.device->writeFrame(session.state.apply(message));
}

void PadSessions::neutralize(ClientConnection& connection)
{
    if (const auto it = sessions_.find(&connection); it != sessions_.end())
        it->second.device->writeFrame(it->second.state.neutral());
}

void PadSessions::close(ClientConnection& connection)
{
    const auto it = sessions_.find(&connection);
    if (it == sessions_.end())
        return;
    const Session& session = it->second;
    if (session.ignoredMessages > 1)
        log_.writeLine(QStringLiteral("Ignored %1 game pad messages from %2 in all")
                           .arg(session.ignoredMessages)
                           .arg(connection.peerAddress()));
    // Destroying the device makes the kernel let go of all it held.
    log_.writeLine(QStringLiteral("Game pad %1 removed").arg(session.player));
    sessions_.erase(it);
    emit countChanged();
}
