#pragma once

#include "trust/ClientRoster.h"
#include "trust/DeviceTrust.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <mutex>

// Everything the Devices block and the approval bar show, copied at once.
struct DeviceListing
{
    QList<OpenClient> clients;
    QList<TrustedDevice> devices;
    QStringList addresses;
};

// Lives beside the server, on its thread, and tells the window of a new copy
// of the device lists after changes, at most 10 times a second: a stranger
// that reconnects thousands of times must not cost the window a read each
// time. The copy is handed over under a lock, so the window never waits for
// the server's thread to read it.
class DeviceListingFeed : public QObject
{
    Q_OBJECT
public:
    DeviceListingFeed(ClientRoster& roster, DeviceTrust& trust, QObject* parent = nullptr);

    // The newest copy; from any thread.
    DeviceListing latest() const;

    static constexpr std::chrono::milliseconds kMinimumInterval{100};

signals:
    void changed();

private:
    void schedule();
    void publish();

    ClientRoster& roster_;
    DeviceTrust& trust_;
    QTimer due_;
    QElapsedTimer sincePublished_;
    mutable std::mutex mutex_;
    DeviceListing latest_;
};
