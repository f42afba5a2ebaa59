#include "gamepad/PadMessage.h"

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <linux/input-event-codes.h>
#include <optional>

namespace {

struct NamedButton
{
    QStringView name;
    quint16 button;
};

constexpr NamedButton kButtons[] = {
    {u"a", BTN_SOUTH},     {u"b", BTN_EAST},        {u"x", BTN_WEST},    {u"y", BTN_NORTH},
    {u"l1", BTN_TL},       {u"r1", BTN_TR},         {u"l3", BTN_THUMBL}, {u"r3", BTN_THUMBR},
    {u"start", BTN_START}, {u"select", BTN_SELECT}, {u"home", BTN_MODE},
};

struct NamedDirection
{
    QStringView name;
    PadDirection direction;
};

constexpr NamedDirection kDirections[] = {
    {u"up", PadDirection::Up},
    {u"down", PadDirection::Down},
    {u"left", PadDirection::Left},
    {u"right", PadDirection::Right},
};

std::optional<double> parseValue(const QString& token, double low, double high)
{
    bool ok = false;
    const double value = token.toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return std::clamp(value, low, high);
}

PadMessage ignored(const char* reason)
{
    return IgnoredPadMessage{QString::fromLatin1(reason)};
}

PadMessage parseTrigger(quint16 axis, const QStringList& tokens, bool release)
{
    // A bare name is a full pull, as a key-like client would send it.
    if (tokens.size() == 1)
        return PadTriggerMessage{axis, release ? 0.0 : 1.0};
    if (tokens.size() != 2 || release)
        return ignored("a trigger takes one value");
    const std::optional<double> value = parseValue(tokens[1], 0.0, 1.0);
    if (!value)
        return ignored("a trigger's value is no number");
    return PadTriggerMessage{axis, *value};
}

PadMessage parseStick(quint16 xAxis, const QStringList& tokens)
{
    if (tokens.size() != 3)
        return ignored("a stick takes two values");
    const std::optional<double> x = parseValue(tokens[1], -1.0, 1.0);
    const std::optional<double> y = parseValue(tokens[2], -1.0, 1.0);
    if (!x || !y)
        return ignored("a stick's value is no number");
    return PadStickMessage{xAxis, *x, *y};
}

} // namespace

PadMessage parsePadMessage(const QString& text)
{
    const QString message = text.toLower().trimmed();
    if (message.toUtf8().size() > kMaxPadMessageBytes)
        return ignored("longer than 64 bytes");
    QStringList tokens = message.simplified().split(u' ', Qt::SkipEmptyParts);
    if (tokens.isEmpty())
        return ignored("empty");
    const bool release = tokens[0].startsWith(u'-');
    const QString name = release ? tokens[0].sliced(1) : tokens[0];

    if ((name == u"ls" || name == u"rs") && release)
        return ignored("a stick is not released");
    if (name == u"ls")
        return parseStick(ABS_X, tokens);
    if (name == u"rs")
        return parseStick(ABS_RX, tokens);
    if (name == u"l2")
        return parseTrigger(ABS_Z, tokens, release);
    if (name == u"r2")
        return parseTrigger(ABS_RZ, tokens, release);
    if (tokens.size() != 1)
        return ignored("a button takes no value");
    for (const NamedButton& entry : kButtons) {
        if (entry.name == name)
            return PadButtonMessage{entry.button, !release};
    }
    for (const NamedDirection& entry : kDirections) {
        if (entry.name == name)
            return PadDirectionMessage{entry.direction, !release};
    }
    return ignored("no such button");
}
