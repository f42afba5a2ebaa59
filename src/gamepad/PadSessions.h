#pragma once

#include "common/DiagnosticLog.h"
#include "gamepad/PadClient.h"
#include "gamepad/PadDevice.h"
#include "gamepad/PadState.h"

#include <QObject>

#include <memory>
#include <unordered_map>

// The game pads of the `/pad` connections: one per connection, numbered by
// player (the lowest number free), at most `kMaxPads`.
class PadSessions : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxPads = 8;

    PadSessions(std::shared_ptr<PadDeviceFactory> factory, DiagnosticLog& log,
                QObject* parent = nullptr);
    ~PadSessions() override;

    // Makes the connection's pad and tells it its player number; a
    // connection that can have none is closed with the reason.
    void open(PadClient& client);
    void handleMessage(PadClient& client, const QString& text);
    // Lets go of everything the connection's pad holds.
    void neutralize(PadClient& client);
    // Must come before the client goes: the pad answers it until then.
    void close(PadClient& client);

    int count() const { return int(sessions_.size()); }

signals:
    void countChanged();
    // After each attempt to make a pad: whether this computer can make them.
    void devicesAvailable(bool available);

private:
    struct Session
    {
        int player = 0;
        std::unique_ptr<PadDevice> device;
        PadState state;
        int ignoredMessages = 0;
    };
    int freePlayer() const;

    std::shared_ptr<PadDeviceFactory> factory_;
    DiagnosticLog& log_;
    std::unordered_map<const PadClient*, Session> sessions_;
};
