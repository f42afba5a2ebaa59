#pragma once

// Whether a window can be opened: a Wayland compositor's socket exists, an X
// server answers, or the user picked a Qt platform explicitly.
bool canOpenDisplay();
