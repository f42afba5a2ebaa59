#include "ui/DeviceListingFeed.h"

DeviceListingFeed::DeviceListingFeed(ClientRoster& roster, DeviceTrust& trust, QObject* parent)
    : QObject(parent), roster_(roster), trust_(trust)
{
    due_.setSingleShot(true);
    connect(&due_, &QTimer::timeout, this, &DeviceListingFeed::publish);
    connect(&roster_, &ClientRoster::changed, this, &DeviceListingFeed::schedule);
    connect(&trust_.store(), &TrustStore::changed, this, &DeviceListingFeed::schedule);
    latest_ = {roster_.clients(), trust_.store().devices(), trust_.store().addresses()};
}

DeviceListing DeviceListingFeed::latest() const
{
    const std::lock_guard lock(mutex_);
    return latest_;
}

void DeviceListingFeed::schedule()
{
    if (due_.isActive())
        return;
    // Changes within one turn of the loop go out together.
    const auto waited = std::chrono::milliseconds(
        sincePublished_.isValid() ? sincePublished_.elapsed() : kMinimumInterval.count());
    due_.start(std::max(std::chrono::milliseconds(0), kMinimumInterval - waited));
}

void DeviceListingFeed::publish()
{
    sincePublished_.start();
    DeviceListing listing{roster_.clients(), trust_.store().devices(), trust_.store().addresses()};
    {
        const std::lock_guard lock(mutex_);
        std::swap(latest_, listing);
    }
    emit changed();
}
