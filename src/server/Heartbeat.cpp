#include "server/Heartbeat.h"

#include "server/ClientConnection.h"

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
    heartbeatTimer_ = &pingTimer;
    heartbeatCheckTimer_.start();
}

void Heartbeat::recordPong()
{
    lastReceivedPongTimestamp_ = settings_.clock();
}

void Heartbeat::checkHeartbeat()
{
    if (!lastReceivedPongTimestamp_)
        return;
    if (settings_.clock() - *lastReceivedPongTimestamp_ >= settings_.livenessThresholdSeconds)
        handleHeartbeatFailure();
}

void Heartbeat::handleHeartbeatFailure()
{
    if (heartbeatTimer_)
        heartbeatTimer_->stop();
    heartbeatTimer_ = nullptr;
    heartbeatCheckTimer_.stop();
    emit failed();
}

double monotonicSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}
