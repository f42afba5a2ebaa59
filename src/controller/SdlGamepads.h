#pragma once

#include "common/DiagnosticLog.h"
#include "controller/ControllerTypes.h"
#include "controller/HotplugWatch.h"

#include <QHash>
#include <QObject>
#include <QTimer>

struct _SDL_Joystick;
struct _SDL_GameController;

// SDL's joystick and game controller machinery, pumped from a timer on the
// main thread. SDL's own wait is a 1 ms polling loop without video, so no
// thread waits in it. The timer runs every 8 ms while a device is open; while
// none is, it sleeps until the hot-plug watch reports a change, then pumps a
// few times while SDL takes the new device in.
class SdlGamepads : public QObject
{
    Q_OBJECT
public:
    explicit SdlGamepads(DiagnosticLog& log, QObject* parent = nullptr);
    ~SdlGamepads() override;

    bool isAvailable() const { return available_; }

    // Reads what SDL has for us now; the timer calls it too.
    void pump();

    static constexpr std::chrono::milliseconds kSettleInterval{100};
    static constexpr std::chrono::milliseconds kPollInterval{250};
    static constexpr int kSettlePumps = 10;
    static constexpr std::chrono::milliseconds kActiveInterval{8};

signals:
    void connected(const ControllerInfo& controller);
    void disconnected(int instanceId);
    void faceButtonChanged(int instanceId, FaceButton button, bool pressed);

private:
    void open(int deviceIndex);
    void close(int instanceId);
    void settle();
    void tick();
    void adjustPumpRate();

    struct Opened
    {
        _SDL_GameController* controller = nullptr; // null for a bare joystick
        _SDL_Joystick* joystick = nullptr;
    };

    DiagnosticLog& log_;
    bool available_ = false;
    QHash<int, Opened> opened_; // by instance id
    std::unique_ptr<HotplugWatch> hotplug_;
    int settlePumpsLeft_ = 0;
    QTimer pumpTimer_;
};
