#pragma once

#include "ui/ServerAccess.h"

#include <QWidget>

class QLabel;

// The bar over the window while connections wait: "ADDR wants to control
// this computer" for the oldest, what its User-Agent tells of it, how many
// more wait, and Allow and Deny for that oldest one.
class ApprovalBar : public QWidget
{
    Q_OBJECT
public:
    explicit ApprovalBar(ServerAccess& server, QWidget* parent = nullptr);

private:
    void showListing(const DeviceListing& listing);

    ServerAccess& server_;
    int shownId_ = 0;
    QLabel* question_ = nullptr;
    QLabel* device_ = nullptr;
    QLabel* waiting_ = nullptr;
};
