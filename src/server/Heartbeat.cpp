#include "server/Heartbeat.h"

#include "server/ClientConnection.h"

#include <algorithm>

Heartbeat::Heartbeat(Settings settings, QObject* parent)
    : QObject(parent), settings_(std::move(settings))
{
    if (!settings_.clock)
        settings_.clock = monotonicSeconds;
    heartbeatCheckTimer_.setInterval(settings_.checkInterval);
    connect(&heartbeatCheckTimer_, &QTimer::timeout, this, &Heartbeat::checkHeartbeat);
}

void Heartbeat::startHeartbeat(ClientConnection* connection)
{
    // The timer belongs to the connection, so it stops when the link ends.
    QTimer& pingTimer = connection->pingTimer();
    connect(&pingTimer, &QTimer::timeout, this, [this, connection] { emit pingDue(connection); });
    pingTimer.start(settings_.pingInterval);
    watched_.insert(connection, {connection->peerAddress(), settings_.clock(), {}, false});
    updateCheckTimer();
}

void Heartbeat::recordPong(ClientConnection* connection)
{
    if (const auto it = watched_.find(connection); it != watched_.end()) {
        it->lastPong = settings_.clock();
        it->failed = false;
    }
}

void Heartbeat::stopHeartbeat(ClientConnection* connection, bool closedCleanly)
{
    const Liveness liveness = watched_.take(connection);
    if (!closedCleanly && liveness.lastPong && !liveness.failed)
        ended_.append(liveness);
    updateCheckTimer();
}

void Heartbeat::checkHeartbeat()
{
    // Every verdict is in before the first is announced, so that a listener
    // asking for a healthy link gets this check's answer.
    QList<std::pair<ClientConnection*, QString>> dead;
    for (auto it = watched_.begin(); it != watched_.end(); ++it) {
        if (!it->failed && isDead(*it)) {
            it->failed = true;
            dead.append({it.key(), it->address});
        }
    }
    ended_.removeIf([this, &dead](const Liveness& liveness) {
        if (!isDead(liveness))
            return false;
        dead.append({nullptr, liveness.address});
        return true;
    });
    for (const auto& [connection, address] : dead)
        emit failed(connection, address);
    updateCheckTimer();
}

bool Heartbeat::hasHealthyLink() const
{
    const double now = settings_.clock();
    return std::any_of(watched_.cbegin(), watched_.cend(), [&](const Liveness& liveness) {
        return !liveness.failed && now - liveness.lastPong.value_or(liveness.since) <
                                       settings_.livenessThresholdSeconds;
    });
}

bool Heartbeat::isDead(const Liveness& liveness) const
{
    return liveness.lastPong &&
           settings_.clock() - *liveness.lastPong >= settings_.livenessThresholdSeconds;
}

void Heartbeat::updateCheckTimer()
{
    // Nothing to judge, nothing to wake up for.
    if (watched_.isEmpty() && ended_.isEmpty())
        heartbeatCheckTimer_.stop();
    else if (!heartbeatCheckTimer_.isActive())
        heartbeatCheckTimer_.start();
}

double monotonicSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}
