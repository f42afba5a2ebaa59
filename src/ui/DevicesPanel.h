#pragma once

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
    explicit DevicesPanel(ServerAccess& server, QWidget* parent = nullptr);

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

    ServerAccess& server_;
    QCheckBox* ask_ = nullptr;
    QLabel* empty_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QVBoxLayout* rowLayout_ = nullptr;
    QStringList shownKeys_;
    QHash<QString, QWidget*> shownRows_;
};
