#include "server/ClientConnection.h"

#include "common/PeerAddress.h"

#include <QStringDecoder>
#include <QWebSocket>

ClientConnection::ClientConnection(QWebSocket* socket,
                                   std::chrono::milliseconds firstMessageDeadline, QObject* parent)
    : QObject(parent), socket_(socket)
{
    socket_->setParent(this);
    connect(socket_, &QWebSocket::textMessageReceived, this, &ClientConnection::receiveText);
    connect(socket_, &QWebSocket::binaryMessageReceived, this, &ClientConnection::receiveBinary);
    // Qt reports a close frame and the end of the TCP stream in either order;
    // the end is judged once the socket is gone.
    connect(socket_, &QWebSocket::aboutToClose, this, [this] { closeFrameSeen_ = true; });
    connect(socket_, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
            [this](QAbstractSocket::SocketError error) {
                // Qt leaves "Unknown error" for a peer that vanished without a close frame.
                errorDescription_ = error == QAbstractSocket::RemoteHostClosedError
                                        ? QStringLiteral("The remote host closed the connection")
                                        : socket_->errorString();
                QMetaObject::invokeMethod(this, &ClientConnection::endNow, Qt::QueuedConnection);
            });
    connect(socket_, &QWebSocket::disconnected, this, &ClientConnection::endNow);

    firstMessageDeadline_.setSingleShot(true);
    connect(&firstMessageDeadline_, &QTimer::timeout, this, [this] {
        // A timeout, though it ends with a close frame.
        timedOut_ = true;
        close(QWebSocketProtocol::CloseCodePolicyViolated,
              QStringLiteral("No message within %1 seconds")
                  .arg(firstMessageDeadline_.intervalAsDuration().count() / 1000.0));
    });
    firstMessageDeadline_.start(firstMessageDeadline);
}

std::optional<QString> ClientConnection::send(const QString& text)
{
    if (socket_->state() != QAbstractSocket::ConnectedState)
        return QStringLiteral("Socket is not connected");
    if (socket_->sendTextMessage(text) <= 0 && !text.isEmpty())
        return socket_->errorString();
    // The server sends rarely and the client waits for each reply.
    socket_->flush();
    return std::nullopt;
}

void ClientConnection::close(int code, const QString& reason)
{
    socket_->close(QWebSocketProtocol::CloseCode(code), reason);
}

QString ClientConnection::peerAddress() const
{
    return displayAddress(socket_->peerAddress());
}

void ClientConnection::receiveText(const QString& text)
{
    firstMessageDeadline_.stop();
    emit messageReceived(text);
}

void ClientConnection::receiveBinary(const QByteArray& bytes)
{
    firstMessageDeadline_.stop();
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        emit undecodableMessage();
        return;
    }
    emit messageReceived(text);
}

void ClientConnection::endNow()
{
    if (!closeFrameSeen_)
        end(errorDescription_.isEmpty() ? closeDescription() : errorDescription_, false);
    else if (timedOut_ || closedForBadData())
        end(closeDescription(), true);
    else
        end({}, true);
}

void ClientConnection::end(const QString& error, bool closedCleanly)
{
    if (ended_)
        return;
    ended_ = true;
    pingTimer_.stop();
    firstMessageDeadline_.stop();
    disconnect(socket_, nullptr, this, nullptr);
    emit ended(error, closedCleanly);
}

// Qt closes with these codes when a frame breaks the protocol or our limits;
// a peer that sends one complains of the same.
bool ClientConnection::closedForBadData() const
{
    switch (socket_->closeCode()) {
    case QWebSocketProtocol::CloseCodeProtocolError:
    case QWebSocketProtocol::CloseCodeDatatypeNotSupported:
    case QWebSocketProtocol::CloseCodeWrongDatatype:
    case QWebSocketProtocol::CloseCodeTooMuchData:
        return true;
    default:
        return false;
    }
}

QString ClientConnection::closeDescription() const
{
    QString text = QStringLiteral("Connection closed with code %1").arg(int(socket_->closeCode()));
    if (!socket_->closeReason().isEmpty())
        text += QStringLiteral(" (") + socket_->closeReason() + u')';
    return text;
}
