#pragma once

#include "trust/ClientRoster.h"
#include "trust/DeviceTrust.h"
#include "ui/ServerAccess.h"

#include <QWidget>

class QCheckBox;
class QVBoxLayout;

// The "Devices" block: every open connection with a Disconnect button, the
// devices and app addresses the user trusted with a Forget button, and
// whether a new device must be allowed before it types (remembered).
class DevicesPanel : public QWidget
{
    Q_OBJECT
public:
    DevicesPanel(ClientRoster& roster, DeviceTrust& trust, ServerAccess server,
                 QWidget* parent = nullptr);

private:
    void rebuild();
    void addRow(const QString& text, const QString& buttonText, const QString& buttonName,
                std::function<void()> action);

    ClientRoster& roster_;
    DeviceTrust& trust_;
    ServerAccess server_;
    QCheckBox* ask_ = nullptr;
    QWidget* rows_ = nullptr;
    QVBoxLayout* rowLayout_ = nullptr;
};

// The bar over the window while a connection waits: "ADDR wants to control
// this computer" with Allow and Deny, for the oldest waiting one.
class ApprovalBar : public QWidget
{
    Q_OBJECT
public:
    ApprovalBar(ClientRoster& roster, ServerAccess server, QWidget* parent = nullptr);

private:
    void refresh();

    ClientRoster& roster_;
    ServerAccess server_;
    int shownId_ = 0;
    class QLabel* question_ = nullptr;
};
