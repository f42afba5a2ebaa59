#include "input/portal/PortalRequest.h"

#include "input/portal/PortalNames.h"

PortalRequest::PortalRequest(QDBusConnection bus, const QString& path, Handler handler,
                             QObject* parent)
    : QObject(parent), bus_(std::move(bus)), path_(path), handler_(std::move(handler))
{
    listen(true);
}

void PortalRequest::follow(const QString& path)
{
    if (answered_ || path == path_)
        return;
    listen(false);
    path_ = path;
    listen(true);
}

void PortalRequest::respond(uint response, const QVariantMap& results)
{
    if (answered_)
        return;
    answered_ = true;
    listen(false);
    deleteLater();
    handler_(response, results);
}

void PortalRequest::listen(bool on)
{
    const QString interface = QString::fromLatin1(portal::kRequestInterface);
    const QString service = QString::fromLatin1(portal::kService);
    const QString signal = QStringLiteral("Response");
    if (on)
        bus_.connect(service, path_, interface, signal, this, SLOT(respond(uint, QVariantMap)));
    else
        bus_.disconnect(service, path_, interface, signal, this, SLOT(respond(uint, QVariantMap)));
}
