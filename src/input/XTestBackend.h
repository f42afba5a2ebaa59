#pragma once

#include "common/DiagnosticLog.h"
#include "input/EventLayer.h"
#include "input/WheelAccumulator.h"

#include <QSet>
#include <QString>

#include <memory>

struct _XDisplay;

// Posts through an X server's XTEST extension, for X11 sessions where
// /dev/uinput cannot be opened.
class XTestBackend final : public EventLayer
{
public:
    // Connects to `displayName`, or to $DISPLAY when it is empty. Returns null,
    // and why in `error`, when there is no such display or it lacks XTEST.
    static std::unique_ptr<XTestBackend> connect(const QByteArray& displayName, DiagnosticLog& log,
                                                 QString& error);
    ~XTestBackend() override;

    QString displayName() const;
    void post(const InputEvent& event) override;

private:
    XTestBackend(_XDisplay* display, DiagnosticLog& log);
    void postKey(const KeyEvent& key);
    void postScroll(const ScrollEvent& scroll);
    void postButton(const PointerButtonEvent& button);
    void click(unsigned button, qint32 times);

    _XDisplay* display_;
    DiagnosticLog& log_;
    QSet<quint16> unreachableKeysSaid_;
    DetentAccumulator up_;
    DetentAccumulator left_;
};
