#include "app/KestrelioApp.h"

#include "ui/WebSocketServerView.h"

KestrelioApp::KestrelioApp(DiagnosticLog& log)
    : input_(chooseInputBackend(log)),
      window_(std::make_unique<WebSocketServerView>(*input_.layer, log))
{
    window_->viewModel().setKeyPressSimulation(input_.summary());
    window_->show();
}

KestrelioApp::~KestrelioApp()
{
    // XTest keeps a key down after its client is gone; let go while we still can.
    window_->viewModel().releaseAllKeys();
}
