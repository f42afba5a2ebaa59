#include "input/ScrollSynthesizer.h"

#include <QRegularExpression>

#include <charconv>
#include <cmath>

namespace {

constexpr float kPixelsPerUnit = 50.0f;

// Truncation must land in the 32-bit wheel delta; anything else is refused
// rather than wrapped or saturated.
bool fitsWheelDelta(float pixels)
{
    return std::isfinite(pixels) && std::trunc(pixels) >= -2147483648.0f &&
           std::trunc(pixels) < 2147483648.0f;
}

} // namespace

ScrollSynthesizer::ScrollSynthesizer(EventLayer& events, DiagnosticLog& log)
    : events_(events), log_(log)
{}

void ScrollSynthesizer::handleMouseMessage(const QString& message)
{
    const QStringList tokens = message.split(u' ', Qt::SkipEmptyParts);
    std::optional<float> x;
    std::optional<float> y;
    if (tokens.size() == 3 && (x = parseScrollAmount(tokens[1])) &&
        (y = parseScrollAmount(tokens[2])) && fitsWheelDelta(*x * kPixelsPerUnit) &&
        fitsWheelDelta(*y * kPixelsPerUnit)) {
        simulateScroll(*x * kPixelsPerUnit, *y * kPixelsPerUnit);
        return;
    }
    log_.writeLine(QStringLiteral("Invalid message format"));
}

void ScrollSynthesizer::simulateScroll(float x, float y)
{
    events_.post(ScrollEvent{static_cast<qint32>(y), static_cast<qint32>(x)});
    log_.writeLine(QStringLiteral("Simulated scroll with x: ") + formatScrollAmount(x) +
                   QStringLiteral(", y: ") + formatScrollAmount(y));
}

std::optional<float> parseScrollAmount(QStringView token)
{
    static const QRegularExpression grammar(
        QStringLiteral(R"(\A[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?\z)"));
    if (!grammar.match(token).hasMatch())
        return std::nullopt;
    // from_chars takes no leading '+'; the grammar has vouched for the rest.
    QByteArray text = token.toLatin1();
    if (text.startsWith('+'))
        text.remove(0, 1);
    float value = 0;
    const auto [end, error] = std::from_chars(text.cbegin(), text.cend(), value);
    if (error != std::errc() || end != text.cend())
        return std::nullopt;
    return value;
}

QString formatScrollAmount(float value)
{
    char buffer[32];
    const auto result = std::to_chars(std::begin(buffer), std::end(buffer), value);
    QString text = QString::fromLatin1(buffer, result.ptr - buffer);
    if (std::isfinite(value) && !text.contains(u'.') && !text.contains(u'e'))
        text += QStringLiteral(".0");
    return text;
}
