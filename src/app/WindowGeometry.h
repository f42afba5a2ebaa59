#pragma once

class QWidget;

// Puts the window where it was last time, or, on the first run, at its
// preferred size centred on its screen; either way inside the screen's
// available area, whatever the scale factor.
void placeWindow(QWidget& window);
void rememberWindowGeometry(const QWidget& window);
