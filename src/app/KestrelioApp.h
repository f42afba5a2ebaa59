#pragma once

#include "common/DiagnosticLog.h"
#include "input/ActiveInputLayer.h"

#include <memory>

class WebSocketServerView;

// The windowed program: checks once, before any window exists, whether input
// can reach the system, then opens the one window.
class KestrelioApp
{
public:
    explicit KestrelioApp(DiagnosticLog& log);
    ~KestrelioApp();

    WebSocketServerView& window() { return *window_; }

private:
    ActiveInputLayer input_;
    std::unique_ptr<WebSocketServerView> window_;
};
