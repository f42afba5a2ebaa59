#pragma once

#include <QtGlobal>

#include <optional>
#include <variant>

// Where an event enters the input stream. Backends may treat both alike; the
// value is passed through so that callers' intent stays visible.
enum class TapLocation
{
    Hid = 0,
    AnnotatedSession = 2,
};

// A token for one event's origin. Real backends keep their devices for the
// life of the process, but making a source can still fail, and callers react.
struct EventSource
{};

struct KeyEvent
{
    quint16 code = 0; // position on an ANSI keyboard, see KeyMap.h
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

using InputEvent = std::variant<KeyEvent, ScrollEvent>;

// The one door through which synthetic input leaves the program. Creation steps
// may fail (an empty optional); posting reports nothing.
class EventLayer
{
public:
    virtual ~EventLayer() = default;

    virtual std::optional<EventSource> createSource() { return EventSource{}; }
    virtual std::optional<KeyEvent> createKeyEvent(const std::optional<EventSource>& source,
                                                   quint16 code, bool keyDown);
    virtual std::optional<ScrollEvent>
    createScrollEvent(const EventSource& source, qint32 verticalPixels, qint32 horizontalPixels);
    virtual void post(TapLocation tap, const InputEvent& event) = 0;
};

inline std::optional<KeyEvent> EventLayer::createKeyEvent(const std::optional<EventSource>&,
                                                          quint16 code, bool keyDown)
{
    return KeyEvent{code, keyDown};
}

inline std::optional<ScrollEvent>
EventLayer::createScrollEvent(const EventSource&, qint32 verticalPixels, qint32 horizontalPixels)
{
    return ScrollEvent{verticalPixels, horizontalPixels};
}

// Accepts every event and posts it nowhere: the layer in use while no real
// backend can reach the system.
class NullEventLayer final : public EventLayer
{
public:
    void post(TapLocation, const InputEvent&) override {}
};
