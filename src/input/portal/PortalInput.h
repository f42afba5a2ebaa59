#pragma once

#include "common/DiagnosticLog.h"
#include "input/ActiveInputLayer.h"
#include "input/InputBackendChoice.h"
#include "input/portal/RemoteDesktopPortal.h"

#include <functional>

// Input through the desktop's RemoteDesktop portal, for Wayland sessions
// without /dev/uinput. Drops events while the desktop's dialog waits, posts
// through the portal once the user allows it, and falls back to another
// backend when the portal refuses or fails. Lives as a child of `active`.
class PortalInput final : public QObject
{
    Q_OBJECT
public:
    using Fallback = std::function<InputBackend()>;

    PortalInput(ActiveInputLayer& active, QDBusConnection bus, Fallback fallback,
                DiagnosticLog& log);

    static QString waitingText();
    static QString forgetfulDesktopText();

private:
    void asking();
    void granted(const QString& restoreToken);
    void refused();
    void failed(const QString& reason);
    void stopped();

    ActiveInputLayer& active_;
    RemoteDesktopPortal portal_;
    Fallback fallback_;
    DiagnosticLog& log_;
    // Shown with the input status on a desktop that forgets the grant.
    QString note_;
};
