#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QStringList>

struct _XDisplay;

// A private X server for one test binary, on a display number it picks itself.
class XvfbServer
{
public:
    explicit XvfbServer(const QString& screen = QStringLiteral("1280x800x24"));
    ~XvfbServer();
    bool isRunning() const { return !displayName_.isEmpty(); }
    QByteArray displayName() const { return displayName_; }

private:
    QProcess process_;
    QByteArray displayName_;
};

// What the X server's screen shows now.
QImage grabScreen(const QByteArray& displayName);

// Where the mapped top-level windows are, in screen pixels.
QList<QRect> topLevelWindows(const QByteArray& displayName);

// Types Ctrl+Q as a user would, into the top-level window at `at`, after
// giving it the focus.
bool typeCtrlQ(const QByteArray& displayName, QPoint at);

// Reads back what the X server received, as a second client would: XInput2
// raw events on the root window. Keys come as "press w" / "release Up"
// (keysyms), wheel clicks as "button 4" (a press and its release), mouse
// buttons as "press button 1" / "release button 1", and pointer motion,
// when asked for, as "motion".
class XInputRecorder
{
public:
    explicit XInputRecorder(const QByteArray& displayName, bool withMotion = false);
    ~XInputRecorder();
    bool isReady() const { return display_ != nullptr; }

    // Waits, running the event loop, until `count` events have come in.
    QStringList take(int count, int timeoutMs = 5000);
    // For a thread without an event loop: blocks on the X connection itself
    // until the next event; empty when none came in time.
    QString next(int timeoutMs);
    // Where the pointer is on the screen.
    QPoint pointer() const;

private:
    void readPending();

    _XDisplay* display_ = nullptr;
    int opcode_ = 0;
    QStringList events_;
};
