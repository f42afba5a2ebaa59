#include "input/portal/PortalInput.h"

#include "common/AppSettings.h"

namespace {

const QString kTokenKey = QStringLiteral("portal/restore_token");

void install(ActiveInputLayer& active, InputBackend backend)
{
    active.use(std::move(backend.layer), backend.summary(), backend.offReason);
}

} // namespace

PortalInput::PortalInput(ActiveInputLayer& active, QDBusConnection bus, Fallback fallback,
                         DiagnosticLog& log)
    : QObject(&active), active_(active), portal_(std::move(bus)), fallback_(std::move(fallback)),
      log_(log)
{
    connect(&portal_, &RemoteDesktopPortal::asking, this, &PortalInput::asking);
    connect(&portal_, &RemoteDesktopPortal::started, this, &PortalInput::granted);
    connect(&portal_, &RemoteDesktopPortal::refused, this, &PortalInput::refused);
    connect(&portal_, &RemoteDesktopPortal::failed, this, &PortalInput::failed);
    connect(&portal_, &RemoteDesktopPortal::closed, this, &PortalInput::stopped);

    // A key pressed now would land long after the user meant it: drop it.
    active_.use(std::make_unique<NullEventLayer>(), waitingText());
    portal_.start(AppSettings().value(kTokenKey).toString());
}

QString PortalInput::waitingText()
{
    // KDE grants an unsandboxed program without asking anyone.
    return QStringLiteral("Asking the desktop for remote input (it may show a dialog)");
}

QString PortalInput::forgetfulDesktopText()
{
    return QStringLiteral("This desktop will ask again at every start; the udev rule in \"Input "
                          "permissions\" (README) avoids the dialog");
}

void PortalInput::asking()
{
    log_.writeLine(waitingText());
    if (portal_.remembersGrant())
        return;
    // The first version of the portal keeps no token: the dialog comes back.
    note_ = u'\n' + forgetfulDesktopText();
    log_.writeLine(forgetfulDesktopText());
    active_.use(std::make_unique<NullEventLayer>(), waitingText() + note_);
}

void PortalInput::granted(const QString& restoreToken)
{
    // Each token is good for one start; keep the newest or none.
    AppSettings settings;
    if (restoreToken.isEmpty())
        settings.remove(kTokenKey);
    else
        settings.setValue(kTokenKey, restoreToken);

    const QString name = QStringLiteral("RemoteDesktop portal (keyboard and scrolling through the "
                                        "desktop)");
    log_.writeLine(QStringLiteral("Input backend: ") + name);
    active_.use(std::make_unique<PortalEventLayer>(portal_), name + note_);
}

void PortalInput::refused()
{
    log_.writeLine(QStringLiteral(
        "Remote input was not allowed by the desktop. To allow it, start Kestrelio again and "
        "accept the desktop's dialog, or allow access to /dev/uinput with "
        "the udev rule 70-kestrelio-uinput.rules (see \"Input permissions\" in the README)."));
    install(active_, fallback_());
}

void PortalInput::failed(const QString& reason)
{
    log_.writeLine(
        QStringLiteral("The desktop's remote input portal cannot be used (%1).").arg(reason));
    install(active_, fallback_());
}

void PortalInput::stopped()
{
    const QString text = QStringLiteral("Remote input was stopped by the desktop");
    log_.writeLine(text);
    active_.use(std::make_unique<NullEventLayer>(), text);
}
