#pragma once

#include <QtGlobal>

#include <variant>

// Keys and mouse buttons carry evdev codes (linux/input-event-codes.h).
struct KeyEvent
{
    quint16 code = 0;
    bool keyDown = false;
    friend bool operator==(const KeyEvent&, const KeyEvent&) = default;
};

// Two wheels in pixel units: vertical > 0 scrolls up, horizontal > 0 scrolls left.
struct ScrollEvent
{
    qint32 vertical = 0;
    qint32 horizontal = 0;
    friend bool operator==(const ScrollEvent&, const ScrollEvent&) = default;
};

// Relative motion in whole pixels: x > 0 moves right, y > 0 moves down.
struct PointerMotionEvent
{
    qint32 x = 0;
    qint32 y = 0;
    friend bool operator==(const PointerMotionEvent&, const PointerMotionEvent&) = default;
};

// BTN_LEFT, BTN_RIGHT or BTN_MIDDLE.
struct PointerButtonEvent
{
    quint16 button = 0;
    bool pressed = false;
    friend bool operator==(const PointerButtonEvent&, const PointerButtonEvent&) = default;
};

using InputEvent = std::variant<KeyEvent, ScrollEvent, PointerMotionEvent, PointerButtonEvent>;

// The one door through which synthetic input leaves the program. Posting
// reports nothing: a backend says once in its log what it cannot send.
class EventLayer
{
public:
    virtual ~EventLayer() = default;
    virtual void post(const InputEvent& event) = 0;
};

// Accepts every event and posts it nowhere: the layer in use while no real
// backend can reach the system.
class NullEventLayer final : public EventLayer
{
public:
    void post(const InputEvent&) override {}
};
