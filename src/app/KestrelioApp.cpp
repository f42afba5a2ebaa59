#include "app/KestrelioApp.h"

#include "input/InputBackendChoice.h"
#include "ui/WebSocketServerView.h"

KestrelioApp::KestrelioApp(DiagnosticLog& log)
{
    chooseInputBackend(input_, log);
    window_ = std::make_unique<WebSocketServerView>(input_, log);
    WebSocketViewModel& model = window_->viewModel();
    model.setKeyPressSimulation(input_.summary());
    QObject::connect(&input_, &ActiveInputLayer::summaryChanged, &model,
                     [&model](const QString& summary) { model.setKeyPressSimulation(summary); });
    window_->show();
}

KestrelioApp::~KestrelioApp()
{
    // XTest keeps a key down after its client is gone; let go while we still can.
    window_->viewModel().releaseAllKeys();
}
