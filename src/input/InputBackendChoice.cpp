#include "input/InputBackendChoice.h"

#include "input/UinputBackend.h"
#include "input/XTestBackend.h"

InputBackend chooseInputBackend(DiagnosticLog& log)
{
    InputBackend backend;
    QString uinputError;
    QString xError;
    if (std::unique_ptr<UinputDevices> devices = UinputDevices::create(uinputError)) {
        backend.layer = std::make_unique<UinputBackend>(std::move(devices), log);
        backend.name = QStringLiteral("uinput (virtual keyboard and wheel)");
    } else if (std::unique_ptr<XTestBackend> xtest = XTestBackend::connect({}, log, xError)) {
        backend.name = QStringLiteral("XTest on X display ") + xtest->displayName();
        backend.layer = std::move(xtest);
    }
    if (backend.layer) {
        log.writeLine(QStringLiteral("Input backend: ") + backend.name);
        return backend;
    }

    const QString reasons = uinputError + QStringLiteral("; ") + xError;
    backend.layer = std::make_unique<NullEventLayer>();
    backend.problem = QStringLiteral("Key presses cannot reach this computer (%1). See \"Input "
                                     "permissions\" in the README.")
                          .arg(reasons);
    log.writeLine(QStringLiteral(
        "Accessibility permissions are not enabled. Please enable them in System Preferences."));
    log.writeLine(QStringLiteral("Key presses and scrolling cannot reach this computer (%1). Allow "
                                 "access to /dev/uinput with packaging/70-kestrelio-uinput.rules "
                                 "(see \"Input permissions\" in the README) or join the input "
                                 "group, then log in again.")
                      .arg(reasons));
    return backend;
}
