#include "ui/StatusColors.h"

#include <cmath>

namespace {

double relativeLuminance(const QColor& color)
{
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = color.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) +
           0.0722 * linear(rgb.blueF());
}

} // namespace

bool isServerFailure(const QString& status)
{
    return status.startsWith(u"Server failed with error: ");
}

StatusTone serverStatusTone(const QString& status)
{
    if (isServerFailure(status))
        return StatusTone::Bad;
    return status == u"Connected" || status.contains(u"ready") ? StatusTone::Good : StatusTone::Bad;
}

StatusTone connectionStatusTone(const QString& status)
{
    return status == u"Connected" ? StatusTone::Good : StatusTone::Bad;
}

double contrastRatio(const QColor& a, const QColor& b)
{
    const double la = relativeLuminance(a);
    const double lb = relativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor statusColor(StatusTone tone, const QPalette& palette)
{
    const QColor background = palette.color(QPalette::Window);
    const bool darkBackground = relativeLuminance(background) < 0.18;
    // Deep shades on light backgrounds, pale ones on dark; hues stay apart
    // for readers who cannot tell red from green by hue alone.
    QColor color;
    switch (tone) {
    case StatusTone::Good:
        color = darkBackground ? QColor(0x81, 0xc7, 0x84) : QColor(0x1b, 0x5e, 0x20);
        break;
    case StatusTone::Bad:
        color = darkBackground ? QColor(0xff, 0x8a, 0x80) : QColor(0xb7, 0x1c, 0x1c);
        break;
    case StatusTone::Warning:
        color = darkBackground ? QColor(0xff, 0xd5, 0x4f) : QColor(0x8a, 0x4b, 0x00);
        break;
    }
    // An unusual theme background may still be too close: move away from it
    // in lightness, keeping the hue, until the text is readable.
    for (int step = 0; step < 20 && contrastRatio(color, background) < kMinimumContrast; ++step)
        color = darkBackground ? color.lighter(115) : color.darker(115);
    if (contrastRatio(color, background) < kMinimumContrast)
        color = darkBackground ? QColor(Qt::white) : QColor(Qt::black);
    return color;
}
