#pragma once

#include "trust/ClientRoster.h"
#include "trust/DeviceTrust.h"
#include "ui/DeviceListingFeed.h"
#include "ui/ServerAccess.h"

#include <QHash>
#include <QWidget>

class QCheckBox;
class QLabel;
class QScrollArea;
class QVBoxLayout;

// The "Devices" block: every open connection with a Disconnect button, the
// devices and app addresses the user trusted with a Forget button, and
// whether a new device must be allowed before it types (remembered). The
// rows scroll within a few rows' height, and a new listing changes only the
// rows that changed.
class DevicesPanel : public QWidget
{
    Q_OBJECT
public:
    DevicesPanel(DeviceListingFeed& feed, ClientRoster& roster, DeviceTrust& trust,
                 ServerAccess server, QWidget* parent = nullptr);

    static constexpr int kRowsShown = 5;

private:
    struct Row
    {
        QString text;
        QString buttonText;
        QString buttonName;
        std::function<void()> action;
    };
    void showListing(const DeviceListing& listing);
    QWidget* makeRow(const Row& row);

    ClientRoster& roster_;
    DeviceTrust& trust_;
    ServerAccess server_;
    QCheckBox* ask_ = nullptr;
    QLabel* empty_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QVBoxLayout* rowLayout_ = nullptr;
    QStringList shownKeys_;
    QHash<QString, QWidget*> shownRows_;
};

// The bar over the window while connections wait: "ADDR wants to control
// this computer" for the oldest, what its User-Agent tells of it, how many
// more wait, and Allow and Deny for that oldest one.
class ApprovalBar : public QWidget
{
    Q_OBJECT
public:
    ApprovalBar(DeviceListingFeed& feed, ClientRoster& roster, ServerAccess server,
                QWidget* parent = nullptr);

private:
    void showListing(const DeviceListing& listing);

    ClientRoster& roster_;
    ServerAccess server_;
    int shownId_ = 0;
    QLabel* question_ = nullptr;
    QLabel* device_ = nullptr;
    QLabel* waiting_ = nullptr;
};
