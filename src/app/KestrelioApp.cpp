#include "app/KestrelioApp.h"

#include "app/NetworkThread.h"
#include "app/WindowGeometry.h"
#include "input/InputBackendChoice.h"
#include "sched/ThreadScheduling.h"
#include "ui/StatusColors.h"
#include "ui/WebSocketServerView.h"

#include <QKeySequence>
#include <QShortcut>

KestrelioApp::KestrelioApp(DiagnosticLog& log) : log_(log)
{
    chooseInputBackend(input_, log);
    // This thread paints the window, which must never run at real time. The
    // one "Scheduling" line speaks for the server's thread, which alone may.
    requestHighPriorityForCallingThread();
    network_ = std::make_unique<NetworkThread>(log);
    network_->run([this, &log] {
        model_ = std::make_unique<WebSocketViewModel>(input_, log);
        // A failure to listen is also told where the program was started
        // from, in its place among the server's other lines.
        WebSocketViewModel* model = model_.get();
        QObject::connect(model, &WebSocketViewModel::tlsChanged, model,
                         [model, &log] { printFingerprint(log, model->tls()); });
        QObject::connect(model, &WebSocketViewModel::serverStatusChanged, model, [model, &log] {
            if (isServerFailure(model->serverStatus()))
                log.writeLine(QStringLiteral("Server status: ") + model->serverStatus());
        });
    });
    window_ = std::make_unique<WebSocketServerView>(
        *model_, ServerAccess([network = network_.get()](const std::function<void()>& work) {
            network->run(work);
        }),
        input_, log);
    const auto showInput = [this] {
        const QString summary = input_.summary();
        const std::optional<QString> offReason = input_.offReason();
        network_->run([this, &summary, &offReason] {
            model_->setKeyPressSimulation(summary);
            model_->setInputOffReason(offReason);
        });
        window_->setKeyPressProblem(!input_.reachesTheSystem());
    };
    showInput();
    QObject::connect(&input_, &ActiveInputLayer::summaryChanged, window_.get(), showInput);
    window_->setWindowTitle(QStringLiteral("Kestrelio"));

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

void KestrelioApp::bringToFront()
{
    window_->setWindowState((window_->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window_->show();
    window_->raise();
    window_->activateWindow();
    log_.writeLine(QStringLiteral("Another start of Kestrelio brought this window to the front"));
}

KestrelioApp::~KestrelioApp()
{
    rememberWindowGeometry(*window_);
    // XTest keeps a key down after its client is gone; let go while we still can.
    network_->run([this] { model_->releaseAllKeys(); });
    // The window first: it reads the server until it is gone.
    window_.reset();
    network_->run([this] { model_.reset(); });
    network_.reset();
}
