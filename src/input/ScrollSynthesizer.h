#pragma once

#include "common/DiagnosticLog.h"
#include "input/EventLayer.h"

#include <QString>

#include <optional>

// Turns "mouse X Y" messages into one two-wheel pixel scroll, one client unit
// being 50 pixels.
class ScrollSynthesizer
{
public:
    ScrollSynthesizer(EventLayer& events, DiagnosticLog& log);

    void handleMouseMessage(const QString& message);
    void simulateScroll(float x, float y);

private:
    EventLayer& events_;
    DiagnosticLog& log_;
};

// An optional sign, digits with an optional decimal point, an optional exponent;
// nothing else ("inf" and "nan" are not amounts).
std::optional<float> parseScrollAmount(QStringView token);

// Shortest text that reads back as the same float; whole numbers keep ".0".
QString formatScrollAmount(float value);
