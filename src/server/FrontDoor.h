#pragma once

#include "common/DiagnosticLog.h"
#include "server/RequestPolicy.h"
#include "trust/DeviceTrust.h"

#include <QHash>
#include <QObject>
#include <QString>

#include <chrono>

class QTcpSocket;
struct HttpResponse;
struct RequestHead;
class QWebSocketServer;

// Every accepted TCP connection comes in here first. The request head is
// peeked at, not read, so that the WebSocket engine can still parse it after
// the door has checked it. Plain HTTP requests get the controller page.
class FrontDoor : public QObject
{
    Q_OBJECT
public:
    struct Limits
    {
        qsizetype maxHeadBytes = 8 * 1024;
        std::chrono::milliseconds headTimeout{10'000};
    };

    // How an upgrade that passed the door is to be served.
    struct Pass
    {
        Admission admission;
        bool browserPage = false;
        QByteArray userAgent;
    };

    FrontDoor(QWebSocketServer& engine, DiagnosticLog& log, Limits limits, DeviceTrust& trust,
              QObject* parent = nullptr);

    // Takes ownership of the socket.
    void admit(QTcpSocket* socket);
    // The pass of the upgrade from that peer, once the engine hands out its socket.
    std::optional<Pass> takePass(const QHostAddress& peer, quint16 port);

private:
    void inspect(QTcpSocket* socket);
    void respond(QTcpSocket* socket, const HttpResponse& response, const RequestHead& request);

    QWebSocketServer& engine_;
    DiagnosticLog& log_;
    Limits limits_;
    DeviceTrust& trust_;
    LocalNames localNames_;
    QHash<QString, Pass> passes_;
};
