#include "app/SingleInstance.h"

#include "server/WebSocketViewModel.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace {

const QByteArray kRaise = "raise\n";
const QByteArray kRaised = "raised\n";
const QByteArray kNoWindow = "no window\n";
// Bounds how long a second start waits for the first, which may itself be starting.
constexpr int kPatienceMs = 1500;

QString runtimeDirectory()
{
    const QString path = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) +
                         QStringLiteral("/kestrelio");
    QDir().mkpath(path);
    return path;
}

} // namespace

SingleInstance::SingleInstance()
    : directory_(runtimeDirectory()), lock_(directory_ + QStringLiteral("/instance.lock"))
{
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                if (!socket->canReadLine()) {
                    if (socket->bytesAvailable() > 64) // no request of ours
                        socket->abort();
                    return;
                }
                const bool raised = socket->readLine(64) == kRaise && raise_ && raise_();
                socket->write(raised ? kRaised : kNoWindow);
                socket->disconnectFromServer();
            });
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

SingleInstance::Other SingleInstance::claim()
{
    // The lock decides; the socket is only for talking. A lock whose holder
    // died is taken over.
    lock_.setStaleLockTime(0);
    if (!lock_.tryLock(0)) {
        // Where no lock can be made at all, serving beats refusing to start.
        if (lock_.error() != QLockFile::LockFailedError)
            return Other::None;
        return askTheOther();
    }
    const QString socketPath = directory_ + QStringLiteral("/instance");
    QLocalServer::removeServer(socketPath); // left by a holder that died
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    server_.listen(socketPath);
    return Other::None;
}

SingleInstance::Other SingleInstance::askTheOther()
{
    QElapsedTimer waiting;
    waiting.start();
    while (waiting.elapsed() < kPatienceMs) {
        QLocalSocket socket;
        socket.connectToServer(directory_ + QStringLiteral("/instance"));
        if (!socket.waitForConnected(100)) {
            // The first start may not listen yet.
            QThread::msleep(50);
            continue;
        }
        socket.write(kRaise);
        QByteArray reply;
        while (!reply.endsWith('\n') && waiting.elapsed() < kPatienceMs &&
               socket.waitForReadyRead(int(kPatienceMs - waiting.elapsed())))
            reply += socket.readAll();
        if (reply == kRaised)
            return Other::RaisedItsWindow;
        if (reply == kNoWindow)
            return Other::Headless;
        break;
    }
    return Other::Silent;
}

QString alreadyServingText()
{
    return QStringLiteral("Kestrelio is already running and serves port %1")
        .arg(ServerSettings{}.port);
}
