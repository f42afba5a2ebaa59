#pragma once

#include "trust/ClientRoster.h"
#include "trust/DeviceTrust.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// Everything the Devices block and the approval bar show, copied at once.
struct DeviceListing
{
    QList<OpenClient> clients;
    QList<TrustedDevice> devices;
    QStringList addresses;
};

// Lives beside the server, on its thread, and sends the window a copy of the
// device lists after changes, at most 10 times a second: a stranger that
// reconnects thousands of times must not cost the window a read each time.
class DeviceListingFeed : public QObject
{
    Q_OBJECT
public:
    DeviceListingFeed(ClientRoster& roster, DeviceTrust& trust, QObject* parent = nullptr);

    DeviceListing current() const;

    static constexpr std::chrono::milliseconds kMinimumInterval{100};

signals:
    void changed(const DeviceListing& listing);

private:
    void schedule();
    void publish();

    ClientRoster& roster_;
    DeviceTrust& trust_;
    QTimer due_;
    QElapsedTimer sincePublished_;
};
