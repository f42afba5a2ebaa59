#include "XTestSupport.h"

#include <QTest>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <cstdlib>
#include <poll.h>

namespace {

// Buttons 4 to 7 are the wheels' clicks.
constexpr int kFirstWheelButton = 4;
constexpr int kVirtualCorePointer = 2;

} // namespace

XvfbServer::XvfbServer(const QString& screen)
{
    // -displayfd makes the server choose a free display and print its number.
    // -noreset: a server that resets when its last client leaves gives up its
    // display for a moment, and another server on the machine may take it.
    process_.start(QStringLiteral("Xvfb"),
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-noreset"),
                    QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-screen"),
                    QStringLiteral("0"), screen});
    if (!process_.waitForStarted(5000))
        return;
    QByteArray number;
    if (!QTest::qWaitFor(
            [&] {
                number += process_.readAllStandardOutput();
                return number.endsWith('\n') || process_.state() == QProcess::NotRunning;
            },
            10000))
        return;
    if (!number.trimmed().isEmpty())
        displayName_ = ':' + number.trimmed();
}

XvfbServer::~XvfbServer()
{
    process_.terminate();
    if (!process_.waitForFinished(5000))
        process_.kill();
}

QImage grabScreen(const QByteArray& displayName)
{
    Display* display = XOpenDisplay(displayName.constData());
    if (!display)
        return {};
    const Window root = DefaultRootWindow(display);
    XWindowAttributes attributes;
    XGetWindowAttributes(display, root, &attributes);
    XImage* shot = XGetImage(display, root, 0, 0, unsigned(attributes.width),
                             unsigned(attributes.height), AllPlanes, ZPixmap);
    QImage image;
    if (shot && shot->bits_per_pixel == 32)
        image = QImage(reinterpret_cast<const uchar*>(shot->data), shot->width, shot->height,
                       shot->bytes_per_line, QImage::Format_RGB32)
                    .copy();
    if (shot)
        XDestroyImage(shot);
    XCloseDisplay(display);
    return image;
}

QList<QRect> topLevelWindows(const QByteArray& displayName)
{
    QList<QRect> windows;
    Display* display = XOpenDisplay(displayName.constData());
    if (!display)
        return windows;
    Window root, parent;
    Window* children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count; ++i) {
            XWindowAttributes attributes;
            if (XGetWindowAttributes(display, children[i], &attributes) &&
                attributes.map_state == IsViewable)
                windows.append(
                    QRect(attributes.x, attributes.y, attributes.width, attributes.height));
        }
        XFree(children);
    }
    XCloseDisplay(display);
    return windows;
}

bool typeCtrlQ(const QByteArray& displayName, QPoint at)
{
    Display* display = XOpenDisplay(displayName.constData());
    if (!display)
        return false;
    const KeyCode control = XKeysymToKeycode(display, XK_Control_L);
    const KeyCode q = XKeysymToKeycode(display, XK_q);
    XTestFakeMotionEvent(display, 0, at.x(), at.y(), CurrentTime);
    // No window manager here gives the window the focus; do as one would.
    Window root, child = None;
    int rootX, rootY, x, y;
    unsigned mask;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &x, &y,
                  &mask);
    if (child != None)
        XSetInputFocus(display, child, RevertToParent, CurrentTime);
    XSync(display, False);
    QTest::qWait(100); // the window sees the pointer enter before the keys
    XTestFakeKeyEvent(display, control, True, CurrentTime);
    XTestFakeKeyEvent(display, q, True, CurrentTime);
    XTestFakeKeyEvent(display, q, False, CurrentTime);
    XTestFakeKeyEvent(display, control, False, CurrentTime);
    XSync(display, False);
    XCloseDisplay(display);
    return control != 0 && q != 0;
}

XInputRecorder::XInputRecorder(const QByteArray& displayName, bool withMotion)
{
    display_ = XOpenDisplay(displayName.constData());
    int event, error;
    int major = 2, minor = 0;
    if (!display_ || !XQueryExtension(display_, "XInputExtension", &opcode_, &event, &error) ||
        XIQueryVersion(display_, &major, &minor) != Success) {
        if (display_)
            XCloseDisplay(display_);
        display_ = nullptr;
        return;
    }
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
    XISetMask(bits, XI_RawKeyPress);
    XISetMask(bits, XI_RawKeyRelease);
    XISetMask(bits, XI_RawButtonPress);
    XISetMask(bits, XI_RawButtonRelease);
    if (withMotion)
        XISetMask(bits, XI_RawMotion);
    XISelectEvents(display_, DefaultRootWindow(display_), &mask, 1);
    XSync(display_, False);
}

XInputRecorder::~XInputRecorder()
{
    if (display_)
        XCloseDisplay(display_);
}

QStringList XInputRecorder::take(int count, int timeoutMs)
{
    (void)QTest::qWaitFor(
        [&] {
            readPending();
            return events_.size() >= count;
        },
        timeoutMs);
    const QStringList taken = events_.mid(0, count);
    events_.remove(0, taken.size());
    return taken;
}

QString XInputRecorder::next(int timeoutMs)
{
    readPending();
    pollfd connection{ConnectionNumber(display_), POLLIN, 0};
    while (events_.isEmpty() && ::poll(&connection, 1, timeoutMs) > 0)
        readPending();
    return events_.isEmpty() ? QString() : events_.takeFirst();
}

QPoint XInputRecorder::pointer() const
{
    Window root, child;
    double rootX = 0, rootY = 0, x, y;
    XIButtonState buttons{};
    XIModifierState modifiers;
    XIGroupState group;
    XIQueryPointer(display_, kVirtualCorePointer, DefaultRootWindow(display_), &root, &child,
                   &rootX, &rootY, &x, &y, &buttons, &modifiers, &group);
    free(buttons.mask);
    return QPoint(qRound(rootX), qRound(rootY));
}

void XInputRecorder::readPending()
{
    while (display_ && XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        XGenericEventCookie* cookie = &event.xcookie;
        if (cookie->type != GenericEvent || cookie->extension != opcode_ ||
            !XGetEventData(display_, cookie))
            continue;
        const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
        if (cookie->evtype == XI_RawMotion) {
            events_.append(QStringLiteral("motion"));
        } else if (cookie->evtype == XI_RawButtonPress || cookie->evtype == XI_RawButtonRelease) {
            const bool press = cookie->evtype == XI_RawButtonPress;
            if (raw->detail < kFirstWheelButton)
                events_.append(QStringLiteral("%1 button %2")
                                   .arg(QLatin1String(press ? "press" : "release"))
                                   .arg(raw->detail));
            else if (press)
                events_.append(QStringLiteral("button %1").arg(raw->detail));
        } else {
            const KeySym symbol = XkbKeycodeToKeysym(display_, KeyCode(raw->detail), 0, 0);
            events_.append((cookie->evtype == XI_RawKeyPress ? QStringLiteral("press ")
                                                             : QStringLiteral("release ")) +
                           QString::fromLatin1(XKeysymToString(symbol)));
        }
        XFreeEventData(display_, cookie);
    }
}
