#pragma once

#include "common/DiagnosticLog.h"
#include "gamepad/PadSessions.h"
#include "gamepad/UinputPad.h"
#include "input/EventLayer.h"
#include "input/KeySynthesizer.h"
#include "input/PointerMotion.h"
#include "input/ScrollSynthesizer.h"
#include "layouts/LayoutStore.h"
#include "server/FrontDoor.h"
#include "server/Heartbeat.h"
#include "server/LayoutRequests.h"
#include "tls/TlsCredentials.h"
#include "trust/ClientRoster.h"
#include "trust/DeviceTrust.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QWebSocketServer>

#include <chrono>
#include <optional>

class ClientConnection;
class QTcpServer;
class QWebSocket;

struct ServerSettings
{
    quint16 port = 3330;
    std::chrono::milliseconds restartDelay{1000};
    // Larger messages or frames close the connection with 1009, so that no
    // client can make the server buffer without bound.
    quint64 maxMessageBytes = 64 * 1024;
    // Longer texts are no key, scroll or handshake; they are ignored unread.
    qsizetype maxMeaningfulBytes = 256;
    std::chrono::milliseconds firstMessageDeadline{30'000};
    Heartbeat::Settings heartbeat;
    FrontDoor::Limits frontDoor;
    // A held connection nobody allows is closed after this long.
    std::chrono::milliseconds approvalTimeout{60'000};
    LocalNetworkRule::Source localNetworks = LocalNetworkRule::system();
    std::shared_ptr<PadDeviceFactory> padDevices = std::make_shared<UinputPadFactory>();
    QString layoutsDirectory = LayoutStore::defaultDirectory();
};

// The server's state as the window shows it, and the server itself: the
// listener, the client connections, the text protocol and the heartbeat.
// Every change of a published field is announced by its signal.
class WebSocketViewModel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString serverStatus READ serverStatus NOTIFY serverStatusChanged)
    Q_PROPERTY(QString connectionStatus READ connectionStatus NOTIFY connectionStatusChanged)
    Q_PROPERTY(QStringList receivedMessages READ receivedMessages NOTIFY receivedMessagesChanged)
    Q_PROPERTY(int gamePads READ gamePads NOTIFY gamePadsChanged)

public:
    WebSocketViewModel(EventLayer& events, DiagnosticLog& log, const ServerSettings& settings,
                       QObject* parent = nullptr);
    // With the settings of use. Out of line: GCC 12 takes the settings made
    // in a caller for uninitialised (-Wmaybe-uninitialized).
    WebSocketViewModel(EventLayer& events, DiagnosticLog& log);
    ~WebSocketViewModel() override;

    QString serverStatus() const { return serverStatus_; }
    QString connectionStatus() const { return connectionStatus_; }
    QStringList receivedMessages() const { return receivedMessages_; }
    int gamePads() const { return pads_.count(); }
    std::optional<QString> keyPressSimulation() const { return keyPressSimulation_; }
    void setKeyPressSimulation(const std::optional<QString>& text);
    // Why nothing a phone sends can be typed, in one short sentence; none
    // while input works. Pages hear of it when they connect and on every change.
    void setInputOffReason(const std::optional<QString>& reason);
    // Set once a phone asked for a game pad and this computer could make none.
    bool gamePadsOff() const { return gamePadsOff_; }

    // The port the listener is bound to; 0 while none listens.
    quint16 listeningPort() const;
    const QHash<EvdevCode, bool>& keyStates() const { return keys_.keyStates(); }
    // Lets go of every key and mouse button still down, for shutdown.
    void releaseAllKeys() { keys_.releaseAllKeys(); }

    DeviceTrust& trust() { return trust_; }
    // Loaded one turn after the server is made, off the start's path.
    const TlsCredentials& tls() const { return tls_; }
    // The certificate must name the address phones are sent to.
    void coverPairingAddress(const QString& address);
    ClientRoster& roster() { return roster_; }

public slots:
    void startServer();
    void restartServer();

signals:
    void serverStatusChanged();
    void connectionStatusChanged();
    void receivedMessagesChanged();
    void gamePadsChanged();
    void gamePadsOffChanged();
    void keyPressSimulationChanged();
    // The certificate was loaded or made anew.
    void tlsChanged();

private:
    void setServerStatus(const QString& status);
    void setConnectionStatus(const QString& status);
    void closeListener();
    void handleListenerState(const QTcpServer* listener, const std::optional<QString>& failure);
    void handleNewConnection(QWebSocket* socket);
    void handleMessage(const QString& text, ClientConnection& connection);
    void addReceivedMessage(const QString& text);
    void sendMessage(const QString& text, ClientConnection& connection);
    bool isOversized(const QString& text, ClientConnection& connection);
    void handleConnectionEnd(ClientConnection* connection, const QString& error,
                             bool closedCleanly);
    void handleHeartbeatFailure(ClientConnection* connection, const QString& address);
    void handleApproval(int rosterId);
    ClientConnection* connectionOf(int rosterId) const;
    void giveDeviceToken(ClientConnection& connection, const QByteArray& userAgent,
                         QByteArrayView previousToken = {});
    void serve(ClientConnection& connection);
    void tellInputState(ClientConnection& connection);

    ServerSettings settings_;
    DiagnosticLog& log_;
    KeySynthesizer keys_;
    ScrollSynthesizer scroll_;
    PointerMotion pointer_;
    QWebSocketServer engine_;
    TlsCredentials tls_;
    DeviceTrust trust_;
    ClientRoster roster_;
    FrontDoor frontDoor_;
    LayoutStore layouts_;
    LayoutRequests layoutRequests_;
    Heartbeat heartbeat_;
    PadSessions pads_;
    QPointer<QTcpServer> listener_;
    int openConnections_ = 0;
    struct ClientState
    {
        int rosterId = 0;
        QString address;
        QByteArray userAgent;
        bool handshakeWaiting = false;
        bool pad = false;
        bool keyPage = false;
    };
    QHash<const ClientConnection*, ClientState> clients_;

    QString serverStatus_;
    QString connectionStatus_;
    QStringList receivedMessages_;
    std::optional<QString> keyPressSimulation_;
    std::optional<QString> inputOffReason_;
    bool gamePadsOff_ = false;
};
