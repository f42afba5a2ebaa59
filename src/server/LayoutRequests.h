#pragma once

#include "common/DiagnosticLog.h"
#include "layouts/LayoutStore.h"
#include "server/ControllerSite.h"
#include "server/RequestPolicy.h"

#include <QObject>

#include <chrono>

class DeviceTrust;
class QHostAddress;
class QTcpSocket;

// The layouts over HTTP, beside the page: anyone the page is served to may
// read them; this computer and paired devices may change them.
class LayoutRequests : public QObject
{
    Q_OBJECT
public:
    // A body gets as long to arrive as a request head.
    LayoutRequests(LayoutStore& store, DeviceTrust& trust, DiagnosticLog& log,
                   std::chrono::milliseconds bodyTimeout, QObject* parent = nullptr);

    static bool isLayoutsTarget(QByteArrayView target);

    // Answers and closes the socket, whose first `headBytes`, not yet read,
    // are `request`'s head.
    void serve(QTcpSocket* socket, const RequestHead& request, qsizetype headBytes,
               const LocalNames& names);

signals:
    // "Layout "Doom" saved by 192.168.1.23", for the window.
    void changed(const QString& line);

private:
    std::optional<HttpResponse>
    refusalToChange(const QHostAddress& peer, const RequestHead& request, const LocalNames& names);
    std::optional<HttpResponse> refusalOfBody(const RequestHead& request, const QString& name);
    void receiveBody(QTcpSocket* socket, const RequestHead& request, const QString& name,
                     qint64 length);
    HttpResponse save(const QString& name, QByteArrayView body, const QHostAddress& peer);
    HttpResponse remove(const QString& name, const QHostAddress& peer);
    HttpResponse read(const RequestHead& request, const QString& name);
    HttpResponse list(const RequestHead& request);
    void announce(const QString& line);
    void finish(QTcpSocket* socket, const HttpResponse& response, const RequestHead& request);

    LayoutStore& store_;
    DeviceTrust& trust_;
    DiagnosticLog& log_;
    std::chrono::milliseconds bodyTimeout_;
};
