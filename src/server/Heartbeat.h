#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

class ClientConnection;

// Pings every watched connection and declares the link dead once the newest
// "pong" from any of them is too old. One liveness check runs at a time: the
// pong time is shared, so the newest connection's check replaces the last.
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
    void recordPong();

signals:
    void pingDue(ClientConnection* connection);
    void failed();

private:
    void checkHeartbeat();
    void handleHeartbeatFailure();

    Settings settings_;
    std::optional<double> lastReceivedPongTimestamp_;
    QPointer<QTimer> heartbeatTimer_; // the newest connection's ping timer
    QTimer heartbeatCheckTimer_;
};

// Seconds since an arbitrary start, from the monotonic clock.
double monotonicSeconds();
