#include "app/DisplayProbe.h"

#include <QDir>
#include <QFileInfo>

#include <X11/Xlib.h>

namespace {

bool waylandSocketExists()
{
    const QString name = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (name.isEmpty())
        return false;
    const QString path = QDir::isAbsolutePath(name)
                             ? name
                             : QDir(qEnvironmentVariable("XDG_RUNTIME_DIR")).filePath(name);
    return QFileInfo(path).exists();
}

bool xServerAnswers()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return false;
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    XCloseDisplay(display);
    return true;
}

} // namespace

bool canOpenDisplay()
{
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || waylandSocketExists() ||
           xServerAnswers();
}
