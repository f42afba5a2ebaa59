#include "input/KeyMap.h"

#include <QTextBoundaryFinder>

const KeyMap& namedKeys()
{
    static const KeyMap map{
        {QStringLiteral("up"), 126},   {QStringLiteral("down"), 125},
        {QStringLiteral("left"), 123}, {QStringLiteral("right"), 124},
        {QStringLiteral("start"), 36}, {QStringLiteral("select"), 49},
        {QStringLiteral("l1"), 12},    {QStringLiteral("l2"), 15},
        {QStringLiteral("r1"), 14},    {QStringLiteral("r2"), 17},
    };
    return map;
}

std::optional<AnsiKeyCode> keyCodeForCharacter(std::optional<QStringView> character)
{
    // Indexed by letter: a, b, c, ... z.
    static constexpr AnsiKeyCode letterCodes[26] = {0,  11, 8,  2,  14, 3,  5,  4,  34,
                                                    38, 40, 37, 46, 45, 31, 35, 12, 15,
                                                    1,  17, 32, 9,  13, 7,  16, 6};
    if (!character || character->size() != 1)
        return std::nullopt;
    const char16_t c = character->front().unicode();
    if (c == u' ')
        return AnsiKeyCode{49};
    if (c >= u'a' && c <= u'z')
        return letterCodes[c - u'a'];
    return std::nullopt;
}

std::optional<AnsiKeyCode> resolveKeyCode(const KeyMap& keyMap, const QString& name)
{
    if (const auto it = keyMap.constFind(name); it != keyMap.constEnd())
        return *it;
    if (name.isEmpty())
        return std::nullopt;
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, name);
    const qsizetype end = graphemes.toNextBoundary();
    return keyCodeForCharacter(QStringView(name).first(end > 0 ? end : name.size()));
}

bool isKeyName(const QString& name)
{
    return namedKeys().contains(name) || keyCodeForCharacter(QStringView(name)).has_value();
}

bool isPointerButtonName(const QString& name)
{
    return name == u"btn_left" || name == u"btn_right" || name == u"btn_middle";
}
