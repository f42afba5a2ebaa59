#pragma once

#include "input/portal/PortalEventLayer.h"

#include <QDBusConnection>
#include <QObject>
#include <QVariantMap>

#include <mutex>

// A keyboard and pointer session with the desktop's RemoteDesktop portal over
// D-Bus. Every step is asynchronous; the outcome arrives as exactly one of
// started, refused or failed, and a started session may later be closed by
// the desktop.
class RemoteDesktopPortal final : public QObject, public RemoteInputSink
{
    Q_OBJECT
public:
    explicit RemoteDesktopPortal(QDBusConnection bus, QObject* parent = nullptr);
    // Ends a session still open, waiting briefly so that the request leaves
    // before the program does.
    ~RemoteDesktopPortal() override;

    // `restoreToken` (may be empty) skips the dialog when the desktop still
    // honours an earlier grant.
    void start(const QString& restoreToken);

    // Whether the desktop can hand a grant back at the next start; known
    // once `asking` is emitted.
    bool remembersGrant() const { return version_ >= 2; }

    void notifyKey(quint16 evdevCode, bool pressed) override;
    void notifyAxis(quint32 axis, qint32 steps) override;
    void notifyMotion(double x, double y) override;
    void notifyButton(quint16 evdevCode, bool pressed) override;

signals:
    // The desktop is asking the user.
    void asking();
    void started(const QString& restoreToken);
    // The user refused, or the dialog was closed.
    void refused();
    void failed(const QString& reason);
    // The desktop ended a started session.
    void closed();

private slots:
    void sessionClosed(const QVariantMap& details);

private:
    void checkProperties(const QVariantMap& properties, const QString& restoreToken);
    void createSession(const QString& restoreToken);
    void selectDevices(const QString& restoreToken);
    void startSession();
    void request(const QString& method, QVariantList arguments, QVariantMap options,
                 std::function<void(const QVariantMap& results)> onSuccess);
    void refuse();
    void fail(const QString& reason);
    void closeSession(bool wait);
    void sendToSession(const QString& method, const QVariantList& arguments);

    QDBusConnection bus_;
    QString session_;
    quint32 version_ = 0;
    int requests_ = 0;
    bool running_ = false;
    // Input comes from the server's thread too: the session they go to, empty
    // while none runs.
    mutable std::mutex keysMutex_;
    QString keysSession_;
};
