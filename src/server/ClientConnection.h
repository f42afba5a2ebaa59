#pragma once

#include "input/KeyMap.h"

#include <QObject>
#include <QSet>
#include <QTimer>

#include <optional>

class QWebSocket;

// One accepted client: its receive loop, the keys it holds down and, once the
// heartbeat watches it, its ping timer. Lives until the link ends.
class ClientConnection : public QObject
{
    Q_OBJECT
public:
    // Takes ownership of the socket.
    ClientConnection(QWebSocket* socket, QObject* parent);

    // Returns the error's description when the text could not be sent.
    std::optional<QString> send(const QString& text);
    // Ends the link with a close frame; ended() follows once it is closed.
    void close(quint16 code, const QString& reason);

    QSet<AnsiKeyCode>& heldKeys() { return heldKeys_; }
    QTimer& pingTimer() { return pingTimer_; }

signals:
    void messageReceived(const QString& text);
    void undecodableMessage();
    // Emitted once, when the link closes or fails; nothing is received after it.
    void ended(const QString& description);

private:
    void receiveBinary(const QByteArray& bytes);
    void end(const QString& description);
    QString closeDescription() const;

    QWebSocket* socket_;
    QSet<AnsiKeyCode> heldKeys_;
    QTimer pingTimer_{this};
    bool ended_ = false;
};
