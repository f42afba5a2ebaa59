#pragma once

#include "input/KeyMap.h"

#include <QObject>
#include <QSet>
#include <QTimer>

#include <chrono>
#include <optional>

class QWebSocket;

// One accepted client: its receive loop, the keys it holds down and, once the
// heartbeat watches it, its ping timer. Lives until the link ends.
class ClientConnection : public QObject
{
    Q_OBJECT
public:
    // Takes ownership of the socket. A client that sends no message within
    // `firstMessageDeadline` is closed: phones say "hsk" at once.
    ClientConnection(QWebSocket* socket, std::chrono::milliseconds firstMessageDeadline,
                     QObject* parent);

    // Returns the error's description when the text could not be sent.
    std::optional<QString> send(const QString& text);
    void close(int code, const QString& reason);

    QString peerAddress() const;
    QSet<EvdevCode>& heldKeys() { return heldKeys_; }
    QTimer& pingTimer() { return pingTimer_; }
    // Messages ignored for their length; counted so that a flood makes one line.
    int& oversizedMessages() { return oversizedMessages_; }
    // Malformed pointer messages; the first one makes a line.
    int& malformedMoves() { return malformedMoves_; }

signals:
    void messageReceived(const QString& text);
    void undecodableMessage();
    // Emitted once, when the link closes or fails; nothing is received after it.
    // A close handshake is a clean end; a vanished peer or an error is not.
    // `error` says what went wrong, and is empty for a plain goodbye.
    void ended(const QString& error, bool closedCleanly);

private:
    void receiveText(const QString& text);
    void receiveBinary(const QByteArray& bytes);
    void endNow();
    void end(const QString& error, bool closedCleanly);
    QString closeDescription() const;
    bool closedForBadData() const;

    QWebSocket* socket_;
    QSet<EvdevCode> heldKeys_;
    QTimer pingTimer_{this};
    QTimer firstMessageDeadline_{this};
    int oversizedMessages_ = 0;
    int malformedMoves_ = 0;
    QString errorDescription_;
    bool closeFrameSeen_ = false;
    bool timedOut_ = false;
    bool ended_ = false;
};
