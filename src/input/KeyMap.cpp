#include "input/KeyMap.h"

#include "input/LinuxKeyNames.h"

#include <QHash>
#include <QTextBoundaryFinder>

#include <linux/input-event-codes.h>

namespace {

const QHash<QString, EvdevCode>& pageControls()
{
    static const QHash<QString, EvdevCode> controls{
        {QStringLiteral("up"), KEY_UP},       {QStringLiteral("down"), KEY_DOWN},
        {QStringLiteral("left"), KEY_LEFT},   {QStringLiteral("right"), KEY_RIGHT},
        {QStringLiteral("start"), KEY_ENTER}, {QStringLiteral("select"), KEY_SPACE},
        {QStringLiteral("l1"), KEY_Q},        {QStringLiteral("l2"), KEY_R},
        {QStringLiteral("r1"), KEY_E},        {QStringLiteral("r2"), KEY_T},
        {QStringLiteral(" "), KEY_SPACE},
    };
    return controls;
}

std::optional<EvdevCode> pointerButton(const QString& name)
{
    if (name == u"btn_left")
        return BTN_LEFT;
    if (name == u"btn_right")
        return BTN_RIGHT;
    if (name == u"btn_middle")
        return BTN_MIDDLE;
    return std::nullopt;
}

std::optional<EvdevCode> exactName(const QString& name)
{
    if (const auto it = pageControls().constFind(name); it != pageControls().constEnd())
        return *it;
    if (const std::optional<EvdevCode> button = pointerButton(name))
        return button;
    return linuxKeyCode(name);
}

// The numbers of ANSI keyboard positions that log lines have always shown.
const QHash<EvdevCode, quint16>& ansiPositions()
{
    static const QHash<EvdevCode, quint16> positions{
        {KEY_A, 0},      {KEY_B, 11},     {KEY_C, 8},      {KEY_D, 2},      {KEY_E, 14},
        {KEY_F, 3},      {KEY_G, 5},      {KEY_H, 4},      {KEY_I, 34},     {KEY_J, 38},
        {KEY_K, 40},     {KEY_L, 37},     {KEY_M, 46},     {KEY_N, 45},     {KEY_O, 31},
        {KEY_P, 35},     {KEY_Q, 12},     {KEY_R, 15},     {KEY_S, 1},      {KEY_T, 17},
        {KEY_U, 32},     {KEY_V, 9},      {KEY_W, 13},     {KEY_X, 7},      {KEY_Y, 16},
        {KEY_Z, 6},      {KEY_SPACE, 49}, {KEY_ENTER, 36}, {KEY_LEFT, 123}, {KEY_RIGHT, 124},
        {KEY_DOWN, 125}, {KEY_UP, 126},
    };
    return positions;
}

} // namespace

std::optional<EvdevCode> resolveKeyCode(const QString& name)
{
    if (const std::optional<EvdevCode> code = exactName(name))
        return code;
    if (name.isEmpty())
        return std::nullopt;
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, name);
    const qsizetype end = graphemes.toNextBoundary();
    if (end != 1)
        return std::nullopt;
    const char16_t c = name.front().unicode();
    if (c == u' ')
        return KEY_SPACE;
    if (c >= u'a' && c <= u'z')
        return linuxKeyCode(name.first(1));
    return std::nullopt;
}

bool isPointerButton(EvdevCode code)
{
    return code == BTN_LEFT || code == BTN_RIGHT || code == BTN_MIDDLE;
}

QString printedKeyCode(EvdevCode code)
{
    if (const auto it = ansiPositions().constFind(code); it != ansiPositions().constEnd())
        return QString::number(*it);
    if (code == BTN_LEFT)
        return QStringLiteral("BTN_LEFT");
    if (code == BTN_RIGHT)
        return QStringLiteral("BTN_RIGHT");
    if (code == BTN_MIDDLE)
        return QStringLiteral("BTN_MIDDLE");
    return QStringLiteral("KEY_") + linuxKeyName(code).toUpper();
}

bool isKeyName(const QString& name)
{
    return exactName(name).has_value() && !pointerButton(name);
}

bool isPointerButtonName(const QString& name)
{
    return pointerButton(name).has_value();
}
