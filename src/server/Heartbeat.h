#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

class ClientConnection;

// Pings every connection it watches and judges each one by its own pongs
// alone: a link whose newest pong is too old fails, a link that never ponged
// is never judged. A failed link is still pinged, and its next pong brings it
// back, so a phone that returns from an outage is watched again.
class Heartbeat : public QObject
{
    Q_OBJECT
public:
    // Seconds on a clock that only moves forward.
    using Clock = std::function<double()>;

    struct Settings
    {
        std::chrono::milliseconds pingInterval{5000};
        std::chrono::milliseconds checkInterval{5000};
        double livenessThresholdSeconds = 10.0;
        Clock clock;
    };

    explicit Heartbeat(Settings settings, QObject* parent = nullptr);

    void startHeartbeat(ClientConnection* connection);
    void recordPong(ClientConnection* connection);
    // The link ended. One that dropped without a goodbye is still judged by
    // its last pong, so that its silence is reported as a failure.
    void stopHeartbeat(ClientConnection* connection, bool closedCleanly);
    void checkHeartbeat();
    // Whether a watched link has been heard from within the threshold, its
    // start counting for one that has not ponged yet.
    bool hasHealthyLink() const;
    double livenessThresholdSeconds() const { return settings_.livenessThresholdSeconds; }

signals:
    void pingDue(ClientConnection* connection);
    // `connection` is null for a link that has already ended.
    void failed(ClientConnection* connection, const QString& address);

private:
    struct Liveness
    {
        QString address;
        double since = 0;
        std::optional<double> lastPong;
        bool failed = false;
    };
    bool isDead(const Liveness& liveness) const;
    void updateCheckTimer();

    Settings settings_;
    QHash<ClientConnection*, Liveness> watched_;
    QList<Liveness> ended_;
    QTimer heartbeatCheckTimer_;
};

// Seconds since an arbitrary start, from the monotonic clock.
double monotonicSeconds();
