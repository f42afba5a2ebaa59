#include "input/XTestBackend.h"

#include "input/KeyMap.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <linux/input-event-codes.h>

namespace {

// X numbers keys as the evdev code plus 8, up to 255.
constexpr unsigned kEvdevToXKeycode = 8;
constexpr unsigned kLastXKeycode = 255;

// X's wheel buttons.
constexpr unsigned kButtonUp = 4;
constexpr unsigned kButtonDown = 5;
constexpr unsigned kButtonLeft = 6;
constexpr unsigned kButtonRight = 7;

} // namespace

std::unique_ptr<XTestBackend> XTestBackend::connect(const QByteArray& displayName,
                                                    DiagnosticLog& log, QString& error)
{
    const char* name = displayName.isEmpty() ? nullptr : displayName.constData();
    Display* display = XOpenDisplay(name);
    if (!display) {
        const QString shown = QString::fromLocal8Bit(XDisplayName(name));
        error = shown.isEmpty() ? QStringLiteral("no X display (DISPLAY is not set)")
                                : QStringLiteral("cannot open X display ") + shown;
        return nullptr;
    }
    int eventBase, errorBase, major, minor;
    if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor)) {
        error = QStringLiteral("X display %1 has no XTEST extension")
                    .arg(QString::fromLocal8Bit(DisplayString(display)));
        XCloseDisplay(display);
        return nullptr;
    }
    // Our own pointer and keyboard grabs must not hold back fake events.
    XTestGrabControl(display, True);
    return std::unique_ptr<XTestBackend>(new XTestBackend(display, log));
}

XTestBackend::XTestBackend(_XDisplay* display, DiagnosticLog& log) : display_(display), log_(log) {}

XTestBackend::~XTestBackend()
{
    XCloseDisplay(display_);
}

QString XTestBackend::displayName() const
{
    return QString::fromLocal8Bit(DisplayString(display_));
}

void XTestBackend::post(const InputEvent& event)
{
    if (const auto* key = std::get_if<KeyEvent>(&event))
        postKey(*key);
    else if (const auto* scroll = std::get_if<ScrollEvent>(&event))
        postScroll(*scroll);
    else if (const auto* motion = std::get_if<PointerMotionEvent>(&event))
        XTestFakeRelativeMotionEvent(display_, motion->x, motion->y, CurrentTime);
    else if (const auto* button = std::get_if<PointerButtonEvent>(&event))
        postButton(*button);
    XFlush(display_);
}

void XTestBackend::postKey(const KeyEvent& key)
{
    if (key.code + kEvdevToXKeycode <= kLastXKeycode) {
        XTestFakeKeyEvent(display_, key.code + kEvdevToXKeycode, key.keyDown, CurrentTime);
        return;
    }
    if (!unreachableKeysSaid_.contains(key.code)) {
        unreachableKeysSaid_.insert(key.code);
        log_.writeLine(QStringLiteral("X has no key code for %1; it is ignored")
                           .arg(printedKeyCode(key.code)));
    }
}

void XTestBackend::postButton(const PointerButtonEvent& button)
{
    const unsigned xButton = button.button == BTN_LEFT     ? Button1
                             : button.button == BTN_MIDDLE ? Button2
                                                           : Button3;
    XTestFakeButtonEvent(display_, xButton, button.pressed, CurrentTime);
}

void XTestBackend::postScroll(const ScrollEvent& scroll)
{
    const qint32 up = up_.add(scroll.vertical);
    const qint32 left = left_.add(scroll.horizontal);
    click(up > 0 ? kButtonUp : kButtonDown, qAbs(up));
    click(left > 0 ? kButtonLeft : kButtonRight, qAbs(left));
}

void XTestBackend::click(unsigned button, qint32 times)
{
    for (qint32 i = 0; i < times; ++i) {
        XTestFakeButtonEvent(display_, button, True, CurrentTime);
        XTestFakeButtonEvent(display_, button, False, CurrentTime);
    }
}
