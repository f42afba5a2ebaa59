#pragma once

#include <QColor>
#include <QString>

// The colours of the two status values. The texts are compared exactly:
// "Ready" with a capital is not "ready".
inline const QColor kGoodColor = QColor(Qt::darkGreen);
inline const QColor kBadColor = QColor(Qt::red);
inline const QColor kNoticeColor = QColor(Qt::blue);

QColor serverStatusColor(const QString& status);
QColor connectionStatusColor(const QString& status);
