#include "input/portal/RemoteDesktopPortal.h"

#include "input/portal/PortalNames.h"
#include "input/portal/PortalRequest.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

namespace {

// A portal that does not answer a method call must not leave the program
// waiting for long; the user's dialog is a Response, which has no limit.
constexpr int kReplyTimeoutMs = 5000;
constexpr int kCloseTimeoutMs = 1000;

QDBusMessage portalCall(const QString& method)
{
    return QDBusMessage::createMethodCall(
        QString::fromLatin1(portal::kService), QString::fromLatin1(portal::kObject),
        QString::fromLatin1(portal::kRemoteDesktopInterface), method);
}

// Portals send the session handle as a string; accept an object path too.
QString pathValue(const QVariant& value)
{
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();
}

// The bus's unique name ":1.42" becomes "1_42" in request paths.
QString senderPart(const QDBusConnection& bus)
{
    return bus.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
}

} // namespace

RemoteDesktopPortal::RemoteDesktopPortal(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus))
{}

RemoteDesktopPortal::~RemoteDesktopPortal()
{
    closeSession(true);
}

void RemoteDesktopPortal::start(const QString& restoreToken)
{
    if (!bus_.isConnected()) {
        fail(QStringLiteral("no session bus: ") + bus_.lastError().message());
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(portal::kService), QString::fromLatin1(portal::kObject),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
    call << QString::fromLatin1(portal::kRemoteDesktopInterface);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kReplyTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, restoreToken](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<QVariantMap> reply = *finished;
                if (reply.isError())
                    fail(reply.error().message());
                else
                    checkProperties(reply.value(), restoreToken);
            });
}

void RemoteDesktopPortal::checkProperties(const QVariantMap& properties,
                                          const QString& restoreToken)
{
    const quint32 types = properties.value(QStringLiteral("AvailableDeviceTypes")).toUInt();
    version_ = properties.value(QStringLiteral("version")).toUInt();
    const quint32 wanted = portal::kKeyboard | portal::kPointer;
    if ((types & wanted) != wanted) {
        fail(QStringLiteral("it offers no keyboard and pointer"));
        return;
    }
    createSession(restoreToken);
}

void RemoteDesktopPortal::createSession(const QString& restoreToken)
{
    const QVariantMap options{
        {QStringLiteral("session_handle_token"), QStringLiteral("kestrelio")}};
    request(QStringLiteral("CreateSession"), {}, options,
            [this, restoreToken](const QVariantMap& results) {
                session_ = pathValue(results.value(QStringLiteral("session_handle")));
                if (session_.isEmpty()) {
                    fail(QStringLiteral("it created no session"));
                    return;
                }
                bus_.connect(QString::fromLatin1(portal::kService), session_,
                             QString::fromLatin1(portal::kSessionInterface),
                             QStringLiteral("Closed"), this, SLOT(sessionClosed(QVariantMap)));
                selectDevices(restoreToken);
            });
}

void RemoteDesktopPortal::selectDevices(const QString& restoreToken)
{
    QVariantMap options{{QStringLiteral("types"), portal::kKeyboard | portal::kPointer},
                        {QStringLiteral("persist_mode"), portal::kPersistUntilRevoked}};
    if (!restoreToken.isEmpty() && version_ >= 2)
        options.insert(QStringLiteral("restore_token"), restoreToken);
    request(QStringLiteral("SelectDevices"), {QVariant::fromValue(QDBusObjectPath(session_))},
            options, [this](const QVariantMap&) { startSession(); });
}

void RemoteDesktopPortal::startSession()
{
    request(QStringLiteral("Start"), {QVariant::fromValue(QDBusObjectPath(session_)), QString()},
            {}, [this](const QVariantMap& results) {
                // The dialog may let the user grant the pointer alone.
                const QVariant devices = results.value(QStringLiteral("devices"));
                if (devices.isValid() && !(devices.toUInt() & portal::kKeyboard)) {
                    refuse();
                    return;
                }
                running_ = true;
                {
                    const std::lock_guard lock(keysMutex_);
                    keysSession_ = session_;
                }
                emit started(results.value(QStringLiteral("restore_token")).toString());
            });
    emit asking();
}

void RemoteDesktopPortal::request(const QString& method, QVariantList arguments,
                                  QVariantMap options,
                                  std::function<void(const QVariantMap& results)> onSuccess)
{
    const QString token = QStringLiteral("kestrelio%1").arg(++requests_);
    options.insert(QStringLiteral("handle_token"), token);
    const QString expectedPath =
        QString::fromLatin1(portal::kRequestPathPrefix) + senderPart(bus_) + '/' + token;
    auto* pending = new PortalRequest(
        bus_, expectedPath,
        [this, method, onSuccess](quint32 response, const QVariantMap& results) {
            if (response == 0)
                onSuccess(results);
            else if (method == QLatin1String("Start") && response <= 2)
                refuse();
            else
                fail(QStringLiteral("%1 answered %2").arg(method).arg(response));
        },
        this);

    arguments.append(options);
    QDBusMessage call = portalCall(method);
    call.setArguments(arguments);
    // The watcher belongs to the request: once the Response is in, the reply
    // no longer matters.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kReplyTimeoutMs), pending);
    connect(watcher, &QDBusPendingCallWatcher::finished, pending,
            [this, pending, method](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<QDBusObjectPath> reply = *finished;
                if (reply.isError()) {
                    pending->deleteLater();
                    fail(method + QStringLiteral(": ") + reply.error().message());
                    return;
                }
                pending->follow(reply.value().path());
            });
}

void RemoteDesktopPortal::refuse()
{
    closeSession(false);
    emit refused();
}

void RemoteDesktopPortal::fail(const QString& reason)
{
    closeSession(false);
    emit failed(reason);
}

void RemoteDesktopPortal::sessionClosed(const QVariantMap&)
{
    const bool wasRunning = running_;
    session_.clear();
    running_ = false;
    {
        const std::lock_guard lock(keysMutex_);
        keysSession_.clear();
    }
    if (wasRunning)
        emit closed();
}

void RemoteDesktopPortal::closeSession(bool wait)
{
    if (session_.isEmpty())
        return;
    const QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(portal::kService), session_,
        QString::fromLatin1(portal::kSessionInterface), QStringLiteral("Close"));
    session_.clear();
    running_ = false;
    {
        const std::lock_guard lock(keysMutex_);
        keysSession_.clear();
    }
    if (wait)
        bus_.call(call, QDBus::Block, kCloseTimeoutMs);
    else
        bus_.send(call);
}

void RemoteDesktopPortal::notifyKey(quint16 evdevCode, bool pressed)
{
    sendToSession(QStringLiteral("NotifyKeyboardKeycode"),
                  {qint32(evdevCode), quint32(pressed ? 1 : 0)});
}

void RemoteDesktopPortal::notifyAxis(quint32 axis, qint32 steps)
{
    sendToSession(QStringLiteral("NotifyPointerAxisDiscrete"), {axis, steps});
}

void RemoteDesktopPortal::notifyMotion(double x, double y)
{
    sendToSession(QStringLiteral("NotifyPointerMotion"), {x, y});
}

void RemoteDesktopPortal::notifyButton(quint16 evdevCode, bool pressed)
{
    sendToSession(QStringLiteral("NotifyPointerButton"),
                  {qint32(evdevCode), quint32(pressed ? 1 : 0)});
}

void RemoteDesktopPortal::sendToSession(const QString& method, const QVariantList& arguments)
{
    QString session;
    {
        const std::lock_guard lock(keysMutex_);
        session = keysSession_;
    }
    if (session.isEmpty())
        return;
    QDBusMessage call = portalCall(method);
    call.setArguments(QVariantList{QVariant::fromValue(QDBusObjectPath(session)), QVariantMap()} +
                      arguments);
    bus_.send(call);
}
