#pragma once

#include <QString>

#include <variant>

// The pad protocol, one message at a time. Codes are evdev's.
struct PadButtonMessage
{
    quint16 button; // BTN_*
    bool pressed;
};
enum class PadDirection
{
    Up,
    Down,
    Left,
    Right,
};
struct PadDirectionMessage
{
    PadDirection direction;
    bool pressed;
};
struct PadTriggerMessage
{
    quint16 axis; // ABS_Z or ABS_RZ
    double value; // 0..1
};
struct PadStickMessage
{
    quint16 xAxis; // ABS_X or ABS_RX; the Y axis follows it
    double x;      // -1..1, right > 0
    double y;      // -1..1, up < 0 as on real pads
};
struct IgnoredPadMessage
{
    QString reason;
};

using PadMessage = std::variant<PadButtonMessage, PadDirectionMessage, PadTriggerMessage,
                                PadStickMessage, IgnoredPadMessage>;

constexpr qsizetype kMaxPadMessageBytes = 64;

// Lowercases and trims as the key protocol does. Values out of range are
// clamped; anything else that does not fit is ignored, with the reason.
PadMessage parsePadMessage(const QString& text);
