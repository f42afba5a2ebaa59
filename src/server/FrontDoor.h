#pragma once

#include "common/DiagnosticLog.h"
#include "server/RefusalLog.h"
#include "server/RequestPolicy.h"
#include "trust/ClientRoster.h"
#include "trust/DeviceTrust.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

#include <chrono>

class LayoutRequests;
class QTcpSocket;
class QWebSocket;
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
        // Trusted clients (this computer, paired pages, trusted app
        // addresses) are always served: at `maxClients` the longest-connected
        // untrusted one makes room. Untrusted ones are held to the rest.
        int maxClients = 64;
        int maxUntrustedPerAddress = 8;
        int maxUntrusted = 32;
        int maxHeld = 8;
        // A client that reads nothing while this much waits for it is closed.
        qint64 maxQueuedBytes = 1024 * 1024;
        // How much of one client's input is handled per event-loop turn, so
        // that a flood cannot starve the other clients and the timers; the
        // rest waits in the kernel, and TCP slows the sender down.
        qint64 inputBytesPerTurn = 1024;
        // The kernel gives up on a peer that acknowledges nothing for this
        // long; with a ping every 5 s a vanished phone is noticed within ~20 s.
        std::chrono::milliseconds unacknowledgedTimeout{15'000};
    };

    // How an upgrade that passed the door is to be served.
    struct Pass
    {
        Admission admission;
        bool browserPage = false;
        QByteArray userAgent;
        // The upgrade asked for `/pad`: the game pad protocol.
        bool pad = false;
    };

    // `roster` lists the WebSocket clients being served.
    FrontDoor(QWebSocketServer& engine, DiagnosticLog& log, Limits limits, ClientRoster& roster,
              DeviceTrust& trust, QObject* parent = nullptr);

    // Takes ownership of the socket, accepted at `acceptedAt`: its head must
    // be complete within the head timeout from then, a TLS handshake included.
    void admit(QTcpSocket* socket, std::chrono::steady_clock::time_point acceptedAt);
    // A WebSocket the engine made of an admitted socket: the pass its upgrade
    // got, if any; the socket's limits go with it, and it now lives as long
    // as the WebSocket.
    std::optional<Pass> claim(QWebSocket& webSocket);
    // Requests for /layouts go there instead of to the page.
    void routeLayouts(LayoutRequests& layouts) { layouts_ = &layouts; }

private:
    void inspect(QTcpSocket* socket);
    void respond(QTcpSocket* socket, const HttpResponse& response, const RequestHead& request);
    void limitInput(QTcpSocket& socket, qint64 largestFrame);
    void limitQueuedBytes(QTcpSocket& socket);
    // Why a client with this admission cannot be served now, if it cannot.
    std::optional<QString> refusalForRoom(const QString& address, const Admission& admission);

    QWebSocketServer& engine_;
    DiagnosticLog& log_;
    RefusalLog refusals_;
    Limits limits_;
    ClientRoster& roster_;
    DeviceTrust& trust_;
    LocalNames localNames_;
    struct Upgrade
    {
        QPointer<QTcpSocket> socket;
        Pass pass;
    };
    // Handed to the engine and not yet claimed, by peer address and port:
    // the engine drops every signal connection of a socket it upgrades, so
    // the socket is found again by its peer.
    QHash<QString, Upgrade> upgrading_;
    // Roster ids asked to make room, which still count until they are gone.
    QSet<int> evicted_;
    QPointer<LayoutRequests> layouts_;
};
