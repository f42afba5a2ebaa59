#pragma once

#include <QColor>
#include <QPalette>
#include <QString>

// How a status text reads to the user. The texts are compared exactly:
// "Ready" with a capital is not "ready".
enum class StatusTone
{
    Good,
    Bad,
    Warning,
};

// A failure is bad whatever words it quotes ("already" contains "ready").
bool isServerFailure(const QString& status);
StatusTone serverStatusTone(const QString& status);
StatusTone connectionStatusTone(const QString& status);

// The tone's colour for text on the palette's window background, at least
// 4.5:1 against it (WCAG's ratio for small text), light or dark palette alike.
QColor statusColor(StatusTone tone, const QPalette& palette);
double contrastRatio(const QColor& a, const QColor& b);
inline constexpr double kMinimumContrast = 4.5;
