#include "input/InputBackendChoice.h"

#include "input/ActiveInputLayer.h"
#include "input/UinputBackend.h"
#include "input/XTestBackend.h"
#include "input/portal/PortalInput.h"

#include <QDBusConnection>

namespace {

// XTest, or nothing; `uinputError` says why uinput is not in use.
InputBackend chooseWithoutUinput(DiagnosticLog& log, const QString& uinputError, bool wayland)
{
    InputBackend backend;
    QString xError;
    if (std::unique_ptr<XTestBackend> xtest = XTestBackend::connect({}, log, xError)) {
        backend.name = QStringLiteral("XTest on X display ") + xtest->displayName();
        // Through XWayland, native Wayland windows get nothing.
        if (wayland)
            backend.name += QStringLiteral(" (reaches X11 applications only)");
        backend.layer = std::move(xtest);
        log.writeLine(QStringLiteral("Input backend: ") + backend.name);
        return backend;
    }

    const QString reasons = uinputError + QStringLiteral("; ") + xError;
    backend.layer = std::make_unique<NullEventLayer>();
    backend.problem = QStringLiteral("Key presses cannot reach this computer (%1). See \"Input "
                                     "permissions\" in the README.")
                          .arg(reasons);
    backend.offReason = QStringLiteral(
        "Kestrelio may not send input yet; its window or terminal says how to allow it");
    log.writeLine(
        QStringLiteral("Key presses and scrolling cannot reach this computer (%1). Allow "
                       "access to /dev/uinput with the udev rule 70-kestrelio-uinput.rules "
                       "(see \"Input permissions\" in the README) or join the input "
                       "group, then log in again.")
            .arg(reasons));
    return backend;
}

} // namespace

bool isWaylandSession()
{
    return qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

void chooseInputBackend(ActiveInputLayer& active, DiagnosticLog& log)
{
    QString uinputError;
    if (std::unique_ptr<UinputDevices> devices = UinputDevices::create(uinputError)) {
        const QString name = QStringLiteral("uinput (virtual keyboard and wheel)");
        log.writeLine(QStringLiteral("Input backend: ") + name);
        active.use(std::make_unique<UinputBackend>(std::move(devices), log), name);
        return;
    }
    const bool wayland = isWaylandSession();
    if (wayland) {
        new PortalInput(
            active, QDBusConnection::sessionBus(),
            [&log, uinputError] { return chooseWithoutUinput(log, uinputError, true); }, log);
        return;
    }
    InputBackend backend = chooseWithoutUinput(log, uinputError, false);
    active.use(std::move(backend.layer), backend.summary(), backend.offReason);
}
