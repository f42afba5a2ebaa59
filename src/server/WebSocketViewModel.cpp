#include "server/WebSocketViewModel.h"

#include "server/ClientConnection.h"
#include "server/ClientMessage.h"
#include "tls/TlsSniffingListener.h"

#include <QStringEncoder>
#include <QTcpServer>
#include <QTimer>
#include <QWebSocket>

namespace {

constexpr qsizetype kReceivedMessagesShown = 30;

bool encodesLosslessly(const QString& text)
{
    QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
    [[maybe_unused]] const QByteArray bytes = encoder.encode(text);
    return !encoder.hasError();
}

template <class... Handlers> struct Overloaded : Handlers...
{
    using Handlers::operator()...;
};

} // namespace

WebSocketViewModel::WebSocketViewModel(EventLayer& events, DiagnosticLog& log,
                                       const ServerSettings& settings, QObject* parent)
    : QObject(parent), settings_(settings), log_(log), keys_(events, log), scroll_(events, log),
      pointer_(events), engine_(QStringLiteral("Kestrelio"), QWebSocketServer::NonSecureMode),
      tls_(TlsCredentials::defaultFolder(), log),
      trust_(log, LocalNetworkRule(settings_.localNetworks)), roster_(settings_.approvalTimeout),
      frontDoor_(engine_, log, settings_.frontDoor, roster_, trust_),
      layouts_(settings_.layoutsDirectory, log),
      layoutRequests_(layouts_, trust_, log, settings_.frontDoor.headTimeout),
      heartbeat_(settings_.heartbeat), pads_(settings_.padDevices, log),
      serverStatus_(QStringLiteral("Stopped")), connectionStatus_(QStringLiteral("Not connected"))
{
    frontDoor_.routeLayouts(layoutRequests_);
    connect(&layoutRequests_, &LayoutRequests::changed, this,
            &WebSocketViewModel::addReceivedMessage);
    connect(&engine_, &QWebSocketServer::newConnection, this, [this] {
        while (engine_.hasPendingConnections())
            handleNewConnection(engine_.nextPendingConnection());
    });
    QMetaObject::invokeMethod(
        this,
        [this] {
            tls_.load();
            emit tlsChanged();
        },
        Qt::QueuedConnection);
    connect(&heartbeat_, &Heartbeat::pingDue, this, [this](ClientConnection* connection) {
        sendMessage(QStringLiteral("PING"), *connection);
    });
    connect(&heartbeat_, &Heartbeat::failed, this, &WebSocketViewModel::handleHeartbeatFailure);
    connect(&pads_, &PadSessions::countChanged, this, &WebSocketViewModel::gamePadsChanged);
    connect(&pads_, &PadSessions::devicesAvailable, this, [this](bool available) {
        if (std::exchange(gamePadsOff_, !available) != gamePadsOff_)
            emit gamePadsOffChanged();
    });
    connect(&roster_, &ClientRoster::allowed, this, &WebSocketViewModel::handleApproval);
    connect(&roster_, &ClientRoster::denied, this, [this](int id, const QString& reason) {
        if (ClientConnection* connection = connectionOf(id))
            connection->close(QWebSocketProtocol::CloseCodePolicyViolated, reason);
    });
    connect(&roster_, &ClientRoster::evictionRequested, this,
            [this](int id, const QString& reason) {
                if (ClientConnection* connection = connectionOf(id))
                    connection->close(QWebSocketProtocol::CloseCodePolicyViolated, reason);
            });
    connect(&roster_, &ClientRoster::disconnectRequested, this, [this](int id) {
        if (ClientConnection* connection = connectionOf(id))
            connection->close(QWebSocketProtocol::CloseCodeNormal,
                              QStringLiteral("Disconnected on this computer"));
    });
}

WebSocketViewModel::WebSocketViewModel(EventLayer& events, DiagnosticLog& log)
    : WebSocketViewModel(events, log, ServerSettings())
{}

WebSocketViewModel::~WebSocketViewModel()
{
    // Connections go first: their signals lead into the members below.
    qDeleteAll(findChildren<ClientConnection*>(Qt::FindDirectChildrenOnly));
}

void WebSocketViewModel::coverPairingAddress(const QString& address)
{
    if (tls_.cover(address))
        emit tlsChanged();
}

void WebSocketViewModel::setKeyPressSimulation(const std::optional<QString>& text)
{
    keyPressSimulation_ = text;
    emit keyPressSimulationChanged();
}

void WebSocketViewModel::setInputOffReason(const std::optional<QString>& reason)
{
    if (reason == inputOffReason_)
        return;
    inputOffReason_ = reason;
    for (auto it = clients_.cbegin(); it != clients_.cend(); ++it) {
        const OpenClient* client = roster_.find(it->rosterId);
        if (client && !client->held)
            tellInputState(*const_cast<ClientConnection*>(it.key()));
    }
}

void WebSocketViewModel::tellInputState(ClientConnection& connection)
{
    // Apps get only what they always got; a pad types nothing.
    if (!clients_.value(&connection).keyPage)
        return;
    sendMessage(inputOffReason_ ? QStringLiteral("INPUT OFF ") + *inputOffReason_
                                : QStringLiteral("INPUT ON"),
                connection);
}

void WebSocketViewModel::serve(ClientConnection& connection)
{
    tellInputState(connection);
    if (clients_.value(&connection).pad)
        pads_.open(connection);
}

quint16 WebSocketViewModel::listeningPort() const
{
    return listener_ && listener_->isListening() ? listener_->serverPort() : 0;
}

void WebSocketViewModel::startServer()
{
    // A listener still stored (two restarts within the delay) would hold the
    // port and make this one fail while the old one serves on unnoticed.
    closeListener();

    auto* listener = new TlsSniffingListener(
        tls_,
        {[this](const QHostAddress& peer) { return trust_.isOnLocalNetwork(peer); },
         settings_.frontDoor.headTimeout},
        this);
    listener_ = listener;
    connect(listener, &TlsSniffingListener::accepted, &frontDoor_, &FrontDoor::admit);
    connect(listener, &QTcpServer::acceptError, this,
            [this, listener] { handleListenerState(listener, listener->errorString()); });

    std::optional<QString> failure;
    if (!listener->listen(QHostAddress::Any, settings_.port)) {
        // Another Kestrelio is found before it gets here; name the port for the rest.
        failure = listener->serverError() == QAbstractSocket::AddressInUseError
                      ? QStringLiteral("Port %1 is in use by another program").arg(settings_.port)
                      : listener->errorString();
    }
    // Reported one turn later, as a listener reports its state, so that
    // "Starting server..." always comes first.
    QMetaObject::invokeMethod(
        this,
        [this, listener = QPointer(listener), failure] { handleListenerState(listener, failure); },
        Qt::QueuedConnection);
    setServerStatus(QStringLiteral("Starting server..."));
}

void WebSocketViewModel::restartServer()
{
    closeListener();
    setServerStatus(QStringLiteral("Restarting server..."));
    setConnectionStatus(QStringLiteral("Not connected"));
    trust_.renewPairingSecret();
    receivedMessages_.clear();
    emit receivedMessagesChanged();
    QTimer::singleShot(settings_.restartDelay, this, &WebSocketViewModel::startServer);
}

void WebSocketViewModel::setServerStatus(const QString& status)
{
    serverStatus_ = status;
    emit serverStatusChanged();
}

void WebSocketViewModel::setConnectionStatus(const QString& status)
{
    connectionStatus_ = status;
    emit connectionStatusChanged();
}

void WebSocketViewModel::closeListener()
{
    if (!listener_)
        return;
    listener_->close();
    listener_->deleteLater();
    listener_ = nullptr;
}

void WebSocketViewModel::handleListenerState(const QTcpServer* listener,
                                             const std::optional<QString>& failure)
{
    // A report from a listener that was closed since says nothing about the server.
    if (!listener || listener != listener_)
        return;
    if (failure)
        setServerStatus(QStringLiteral("Server failed with error: ") + *failure);
    else
        setServerStatus(QStringLiteral("Server ready on port ") +
                        QString::number(listener->serverPort()));
}

void WebSocketViewModel::handleNewConnection(QWebSocket* socket)
{
    socket->setMaxAllowedIncomingFrameSize(settings_.maxMessageBytes);
    socket->setMaxAllowedIncomingMessageSize(settings_.maxMessageBytes);
    const std::optional<FrontDoor::Pass> pass = frontDoor_.claim(*socket);
    if (!pass) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    auto* connection = new ClientConnection(socket, settings_.firstMessageDeadline, this);
    ++openConnections_;
    const QString address = connection->peerAddress();
    log_.writeLine(QStringLiteral("Client connected from ") + address);
    const bool held = pass->admission.verdict == Admission::Verdict::Hold;
    clients_.insert(connection,
                    {roster_.add(address, pass->browserPage, pass->admission.trusted, held,
                                 deviceKind(pass->userAgent)),
                     address, pass->userAgent, false, pass->pad, pass->browserPage && !pass->pad});
    connect(connection, &ClientConnection::messageReceived, this,
            [this, connection](const QString& text) { handleMessage(text, *connection); });
    connect(connection, &ClientConnection::undecodableMessage, this, [this] {
        log_.writeLine(QStringLiteral("No data received or could not decode message."));
    });
    connect(connection, &ClientConnection::ended, this,
            [this, connection](const QString& error, bool closedCleanly) {
                handleConnectionEnd(connection, error, closedCleanly);
            });
    heartbeat_.startHeartbeat(connection);
    if (pass->admission.paired)
        giveDeviceToken(*connection, pass->userAgent, pass->admission.previousToken);
    if (!held)
        serve(*connection);
}

void WebSocketViewModel::giveDeviceToken(ClientConnection& connection, const QByteArray& userAgent,
                                         QByteArrayView previousToken)
{
    sendMessage(QStringLiteral("DEVICE ") + QString::fromLatin1(trust_.store().addDevice(
                                                deviceName(userAgent), previousToken)),
                connection);
}

ClientConnection* WebSocketViewModel::connectionOf(int rosterId) const
{
    for (auto it = clients_.cbegin(); it != clients_.cend(); ++it) {
        if (it->rosterId == rosterId)
            return const_cast<ClientConnection*>(it.key());
    }
    return nullptr;
}

void WebSocketViewModel::handleApproval(int rosterId)
{
    ClientConnection* connection = connectionOf(rosterId);
    const OpenClient* client = roster_.find(rosterId);
    if (!connection || !client)
        return;
    ClientState& state = clients_[connection];
    // A page gets a token of its own; an app is known by its address.
    if (client->browserPage)
        giveDeviceToken(*connection, state.userAgent);
    else
        trust_.store().trustAddress(state.address);
    if (std::exchange(state.handshakeWaiting, false))
        sendMessage(QStringLiteral("HSK_DONE"), *connection);
    serve(*connection);
}

void WebSocketViewModel::handleMessage(const QString& text, ClientConnection& connection)
{
    if (isOversized(text, connection))
        return;
    ClientState& state = clients_[&connection];
    if (const OpenClient* client = roster_.find(state.rosterId); client && client->held) {
        // Nothing a held client sends is acted on or kept for later.
        if (std::holds_alternative<HandshakeMessage>(parseClientMessage(text)))
            state.handshakeWaiting = true;
        return;
    }
    const ClientMessage message = parseClientMessage(text);
    // A pad shares the heartbeat and the handshake; the rest is its own.
    if (state.pad && !std::holds_alternative<PongMessage>(message) &&
        !std::holds_alternative<HandshakeMessage>(message)) {
        pads_.handleMessage(connection, text);
        return;
    }
    std::visit(
        Overloaded{
            [this, &connection](const PongMessage&) {
                heartbeat_.recordPong(&connection);
                setConnectionStatus(QStringLiteral("Connected"));
            },
            [this](const MouseMessage& mouse) { scroll_.handleMouseMessage(mouse.text); },
            [this, &connection](const HandshakeMessage&) {
                sendMessage(QStringLiteral("HSK_DONE"), connection);
            },
            [this, &connection, &state](const PairCodeRequest&) {
                // Only a page this computer trusts may pair another.
                const OpenClient* client = roster_.find(state.rosterId);
                if (state.keyPage && client && client->trusted)
                    sendMessage(QStringLiteral("PAIR_CODE ") +
                                    QString::fromLatin1(trust_.issueOneTimeCode()),
                                connection);
            },
            [this, &connection](const MoveMessage& move) {
                if (!pointer_.handleMoveMessage(move.text) && connection.malformedMoves()++ == 0)
                    log_.writeLine(QStringLiteral("Ignored a malformed pointer message "
                                                  "from %1: move DX DY is expected")
                                       .arg(connection.peerAddress()));
            },
            [this, &connection](const KeyMessage& key) {
                if (key.action == KeyAction::Press)
                    addReceivedMessage(key.name);
                const std::optional<EvdevCode> changed = keys_.simulateKey(key.name, key.action);
                if (changed && key.action == KeyAction::Press)
                    connection.heldKeys().insert(*changed);
                else if (changed)
                    connection.heldKeys().remove(*changed);
            },
        },
        message);
}

void WebSocketViewModel::addReceivedMessage(const QString& text)
{
    receivedMessages_.prepend(text);
    emit receivedMessagesChanged();
    if (receivedMessages_.size() > kReceivedMessagesShown) {
        receivedMessages_.removeLast();
        emit receivedMessagesChanged();
    }
}

void WebSocketViewModel::sendMessage(const QString& text, ClientConnection& connection)
{
    if (!encodesLosslessly(text)) {
        setConnectionStatus(QStringLiteral("Failed to encode message to UTF-8"));
        return;
    }
    if (const std::optional<QString> error = connection.send(text))
        log_.writeLine(QStringLiteral("Error sending message: ") + *error);
}

bool WebSocketViewModel::isOversized(const QString& text, ClientConnection& connection)
{
    // Cheap checks first: a message of 64 KiB must cost no more than reading it.
    if (text.size() <= settings_.maxMeaningfulBytes / 3 ||
        text.trimmed().toUtf8().size() <= settings_.maxMeaningfulBytes)
        return false;
    if (connection.oversizedMessages()++ == 0)
        log_.writeLine(QStringLiteral("Ignored a message from %1: longer than %2 bytes")
                           .arg(connection.peerAddress())
                           .arg(settings_.maxMeaningfulBytes));
    return true;
}

void WebSocketViewModel::handleConnectionEnd(ClientConnection* connection, const QString& error,
                                             bool closedCleanly)
{
    if (!error.isEmpty())
        log_.writeLine(QStringLiteral("Error receiving message: ") + error);
    if (connection->oversizedMessages() > 1)
        log_.writeLine(QStringLiteral("Ignored %1 messages from %2 in all: longer than %3 bytes")
                           .arg(connection->oversizedMessages())
                           .arg(connection->peerAddress())
                           .arg(settings_.maxMeaningfulBytes));
    const ClientState state = clients_.take(connection);
    roster_.remove(state.rosterId);
    pads_.close(*connection);
    log_.writeLine(QStringLiteral("Client disconnected from ") + state.address);
    // A phone that goes away must not leave its keys down.
    keys_.releaseKeys(connection->heldKeys());
    heartbeat_.stopHeartbeat(connection, closedCleanly);
    --openConnections_;
    // A goodbye is no failure: with nobody left, nobody is connected.
    if (closedCleanly && openConnections_ == 0)
        setConnectionStatus(QStringLiteral("Not connected"));
    connection->deleteLater();
}

void WebSocketViewModel::handleHeartbeatFailure(ClientConnection* connection,
                                                const QString& address)
{
    // One phone's silence says nothing while another still answers.
    if (!heartbeat_.hasHealthyLink())
        setConnectionStatus(QStringLiteral("Connection Failed"));
    log_.writeLine(QStringLiteral("Heartbeat stopped after receiving pong recently."));
    log_.writeLine(QStringLiteral("No heartbeat answer from %1 for %2 s: its keys were released")
                       .arg(address)
                       .arg(heartbeat_.livenessThresholdSeconds()));
    if (connection) {
        keys_.releaseKeys(connection->heldKeys());
        connection->heldKeys().clear();
        pads_.neutralize(*connection);
    }
}
