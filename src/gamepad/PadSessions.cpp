#include "gamepad/PadSessions.h"

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

void PadSessions::open(PadClient& client)
{
    if (sessions_.count(&client) != 0)
        return;
    const int player = freePlayer();
    if (player == 0) {
        const QString reason = QStringLiteral("All %1 game pads are in use").arg(kMaxPads);
        log_.writeLine(QStringLiteral("No game pad for %1: %2").arg(client.peerAddress(), reason));
        client.close(QWebSocketProtocol::CloseCodePolicyViolated, reason);
        return;
    }
    QString error;
    std::unique_ptr<PadDevice> device = factory_->create(player, log_, error);
    if (!device) {
        log_.writeLine(QStringLiteral("No game pad for %1: %2").arg(client.peerAddress(), error));
        // Whoever holds the phone may not have the README; the window says how.
        client.close(QWebSocketProtocol::CloseCodeBadOperation,
                     QStringLiteral("Game pads are off on this computer. On the computer: "
                                    "see \"Game pads\" in Kestrelio's window"));
        emit devicesAvailable(false);
        return;
    }
    emit devicesAvailable(true);
    // The device goes with the session, which ends before its client does.
    connect(device.get(), &PadDevice::rumble, device.get(),
            [&client](quint16 strong, quint16 weak, quint16 milliseconds) {
                client.send(
                    QStringLiteral("RUMBLE %1 %2 %3").arg(strong).arg(weak).arg(milliseconds));
            });
    sessions_.emplace(&client, Session{player, std::move(device), {}, 0});
    log_.writeLine(QStringLiteral("Game pad %1 connected (%2)").arg(player).arg(padName(player)));
    client.send(QStringLiteral("PLAYER %1").arg(player));
    emit countChanged();
}

void PadSessions::handleMessage(PadClient& client, const QString& text)
{
    const auto it = sessions_.find(&client);
    if (it == sessions_.end())
        return;
    Session& session = it->second;
    const PadMessage message = parsePadMessage(text);
    if (const auto* ignored = std::get_if<IgnoredPadMessage>(&message)) {
        if (session.ignoredMessages++ == 0)
            log_.writeLine(QStringLiteral("Ignored a game pad message from %1: %2")
                               .arg(client.peerAddress(), ignored->reason));
        return;
    }
    session.device->writeFrame(session.state.apply(message));
}

void PadSessions::neutralize(PadClient& client)
{
    if (const auto it = sessions_.find(&client); it != sessions_.end())
        it->second.device->writeFrame(it->second.state.neutral());
}

void PadSessions::close(PadClient& client)
{
    const auto it = sessions_.find(&client);
    if (it == sessions_.end())
        return;
    const Session& session = it->second;
    if (session.ignoredMessages > 1)
        log_.writeLine(QStringLiteral("Ignored %1 game pad messages from %2 in all")
                           .arg(session.ignoredMessages)
                           .arg(client.peerAddress()));
    // Destroying the device makes the kernel let go of all it held.
    log_.writeLine(QStringLiteral("Game pad %1 removed").arg(session.player));
    sessions_.erase(it);
    emit countChanged();
}
