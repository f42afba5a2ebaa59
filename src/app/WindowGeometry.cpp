#include "app/WindowGeometry.h"

#include "common/AppSettings.h"

#include <QScreen>
#include <QWidget>

namespace {

const QString kGeometryKey = QStringLiteral("window/geometry");
// Room for a long list of keys and the code at full size, where the screen has it.
constexpr QSize kFirstRunSize{900, 650};

} // namespace

void placeWindow(QWidget& window)
{
    const QRect available = window.screen()->availableGeometry();
    if (!window.restoreGeometry(AppSettings().value(kGeometryKey).toByteArray())) {
        QRect frame(QPoint(),
                    window.sizeHint().expandedTo(kFirstRunSize).boundedTo(available.size()));
        frame.moveCenter(available.center());
        window.setGeometry(frame);
    }
    // A geometry saved on a larger screen, or at a smaller scale, is cut to this one.
    QRect frame = window.geometry();
    frame.setSize(frame.size().boundedTo(available.size()).expandedTo(window.minimumSizeHint()));
    if (!available.contains(frame))
        frame.moveTopLeft(available.topLeft());
    window.setGeometry(frame);
}

void rememberWindowGeometry(const QWidget& window)
{
    AppSettings().setValue(kGeometryKey, window.saveGeometry());
}
