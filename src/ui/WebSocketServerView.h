#pragma once

#include "common/ObservableFlag.h"
#include "controller/GameControllerManager.h"
#include "pairing/QrView.h"
#include "server/WebSocketViewModel.h"
#include "ui/ServerAccess.h"

#include <QWidget>

#include <memory>

class DeviceListingFeed;
class QLabel;
class QListWidget;
class QPushButton;
class QSplitter;

// The content of the window: server and connection status with "Refresh
// Server", the game pads, the newest keys received and the pairing QR code.
// It owns the controller bridge for as long as it lives.
class WebSocketServerView : public QWidget
{
    Q_OBJECT
public:
    // Shows a server that lives on its own thread, reached through `server`.
    WebSocketServerView(WebSocketViewModel& model, ServerAccess server, EventLayer& events,
                        DiagnosticLog& log, InterfaceSource interfaces = InterfaceSource::system(),
                        QWidget* parent = nullptr);
    // Makes and owns a server on the window's thread.
    WebSocketServerView(EventLayer& events, DiagnosticLog& log, ServerSettings settings = {},
                        InterfaceSource interfaces = InterfaceSource::system(),
                        QWidget* parent = nullptr);
    ~WebSocketServerView() override;

    WebSocketViewModel& viewModel() { return viewModel_; }
    GameControllerManager& gameControllerManager() { return gameControllerManager_; }
    const ObservableFlag& triggerRegeneration() const { return triggerRegeneration_; }
    QrView& qrView() { return *qrView_; }
    // Whether the key press text reports a problem (no way to send input)
    // rather than the backend at work.
    void setKeyPressProblem(bool problem);

    static constexpr int kMessagesShown = 30;

signals:
    // After the message list has caught up with the view model.
    void messagesRefreshed();

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void build(DiagnosticLog& log, InterfaceSource interfaces);
    QWidget* buildLeftColumn();
    QWidget* buildRightColumn(DiagnosticLog& log, InterfaceSource interfaces);
    void refreshStatuses();
    void scheduleMessagesRefresh();
    void refreshMessages();
    QWidget* buildCodeSwitch(QWidget* parent);
    void showCertificate();
    QWidget* buildGamePads(QWidget* parent);

    std::unique_ptr<WebSocketViewModel> ownModel_;
    WebSocketViewModel& viewModel_;
    ServerAccess server_;
    GameControllerManager gameControllerManager_;
    ObservableFlag triggerRegeneration_;
    DeviceListingFeed* deviceListing_ = nullptr; // on the server's thread
    bool messagesRefreshPending_ = false;

    QSplitter* splitter_ = nullptr;
    QLabel* serverStatus_ = nullptr;
    QLabel* connectionStatus_ = nullptr;
    QListWidget* messages_ = nullptr;
    QLabel* keyPressTitle_ = nullptr;
    QWidget* keyPressBlock_ = nullptr;
    QLabel* keyPressIcon_ = nullptr;
    QLabel* keyPressText_ = nullptr;
    bool keyPressProblem_ = false;
    QPushButton* refreshButton_ = nullptr;
    QrView* qrView_ = nullptr;
    QLabel* scanInstruction_ = nullptr;
    QLabel* codeText_ = nullptr;
    QLabel* fingerprint_ = nullptr;
};
