#pragma once

#include "common/DiagnosticLog.h"
#include "input/ActiveInputLayer.h"

#include <memory>

class NetworkThread;
class ServerAccess;
class WebSocketServerView;
class WebSocketViewModel;

// The windowed program: checks once, before any window exists, whether input
// can reach the system, then serves on a thread of its own and opens the one
// window onto that server.
class KestrelioApp
{
public:
    explicit KestrelioApp(DiagnosticLog& log);
    ~KestrelioApp();

    WebSocketServerView& window() { return *window_; }
    // For another start of the program, which the user meant to see this window.
    void bringToFront();

private:
    DiagnosticLog& log_;
    ActiveInputLayer input_;
    std::unique_ptr<NetworkThread> network_;
    std::unique_ptr<WebSocketViewModel> model_; // on the network thread
    std::unique_ptr<ServerAccess> server_;
    std::unique_ptr<WebSocketServerView> window_;
};
