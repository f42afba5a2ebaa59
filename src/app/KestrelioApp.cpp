#include "app/KestrelioApp.h"

#include "app/WindowGeometry.h"
#include "input/InputBackendChoice.h"
#include "sched/ThreadScheduling.h"
#include "ui/StatusColors.h"
#include "ui/WebSocketServerView.h"

#include <QKeySequence>
#include <QShortcut>

KestrelioApp::KestrelioApp(DiagnosticLog& log)
{
    chooseInputBackend(input_, log);
    // The server shares this thread with the window's painting, which must
    // never run at real time.
    log.writeLine(requestHighPriorityForCallingThread());
    window_ = std::make_unique<WebSocketServerView>(input_, log);
    WebSocketViewModel& model = window_->viewModel();
    const auto showInput = [this, &model] {
        model.setKeyPressSimulation(input_.summary());
        window_->setKeyPressProblem(!input_.reachesTheSystem());
    };
    showInput();
    QObject::connect(&input_, &ActiveInputLayer::summaryChanged, window_.get(), showInput);
    window_->setWindowTitle(QStringLiteral("Kestrelio"));
    // A failure to listen is also told where the program was started from.
    QObject::connect(
        &model, &WebSocketViewModel::serverStatusChanged, window_.get(), [&model, &log] {
            if (isServerFailure(model.serverStatus()))
                log.writeLine(QStringLiteral("Server status: ") + model.serverStatus());
        });

    // Closing the last window ends the event loop; some platforms bind Quit to no key.
    QList<QKeySequence> quitKeys = QKeySequence::keyBindings(QKeySequence::Quit);
    if (!quitKeys.contains(QKeySequence(Qt::CTRL | Qt::Key_Q)))
        quitKeys.append(QKeySequence(Qt::CTRL | Qt::Key_Q));
    for (const QKeySequence& keys : quitKeys) {
        auto* shortcut = new QShortcut(keys, window_.get());
        QObject::connect(shortcut, &QShortcut::activated, window_.get(), &QWidget::close);
    }

    placeWindow(*window_);
    window_->show();
}

KestrelioApp::~KestrelioApp()
{
    rememberWindowGeometry(*window_);
    // XTest keeps a key down after its client is gone; let go while we still can.
    window_->viewModel().releaseAllKeys();
}
