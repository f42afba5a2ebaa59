#include "server/ClientConnection.h"

#include <QStringDecoder>
#include <QWebSocket>

ClientConnection::ClientConnection(QWebSocket* socket, QObject* parent)
    : QObject(parent), socket_(socket)
{
    socket_->setParent(this);
    connect(socket_, &QWebSocket::textMessageReceived, this, &ClientConnection::messageReceived);
    connect(socket_, &QWebSocket::binaryMessageReceived, this, &ClientConnection::receiveBinary);
    connect(socket_, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
            [this](QAbstractSocket::SocketError error) {
                // Qt leaves "Unknown error" for a peer that vanished without a close frame.
                end(error == QAbstractSocket::RemoteHostClosedError
                        ? QStringLiteral("The remote host closed the connection")
                        : socket_->errorString());
            });
    connect(socket_, &QWebSocket::disconnected, this, [this] { end(closeDescription()); });
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

void ClientConnection::close(quint16 code, const QString& reason)
{
    socket_->close(QWebSocketProtocol::CloseCode(code), reason);
}

void ClientConnection::receiveBinary(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        emit undecodableMessage();
        return;
    }
    emit messageReceived(text);
}

void ClientConnection::end(const QString& description)
{
    if (ended_)
        return;
    ended_ = true;
    pingTimer_.stop();
    disconnect(socket_, nullptr, this, nullptr);
    emit ended(description);
}

QString ClientConnection::closeDescription() const
{
    QString text = QStringLiteral("Connection closed with code %1").arg(int(socket_->closeCode()));
    if (!socket_->closeReason().isEmpty())
        text += QStringLiteral(" (") + socket_->closeReason() + u')';
    return text;
}
