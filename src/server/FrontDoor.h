#pragma once

#include "common/DiagnosticLog.h"

#include <QObject>
#include <QString>

#include <chrono>

class QTcpSocket;
class QWebSocketServer;

// Every accepted TCP connection comes in here first. The request head is
// peeked at, not read, so that the WebSocket engine can still parse it after
// the door has checked it.
class FrontDoor : public QObject
{
    Q_OBJECT
public:
    struct Limits
    {
        qsizetype maxHeadBytes = 8 * 1024;
        std::chrono::milliseconds headTimeout{10'000};
    };

    FrontDoor(QWebSocketServer& engine, DiagnosticLog& log, Limits limits,
              QObject* parent = nullptr);

    // Takes ownership of the socket.
    void admit(QTcpSocket* socket);

private:
    void inspect(QTcpSocket* socket);
    void refuse(QTcpSocket* socket, QByteArrayView status, const QString& reason);

    QWebSocketServer& engine_;
    DiagnosticLog& log_;
    Limits limits_;
    QString localHostName_;
};
