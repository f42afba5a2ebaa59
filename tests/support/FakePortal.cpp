#include "FakePortal.h"

#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QTest>
#include <QTimer>

namespace {

const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");

QString senderPart(const QString& uniqueName)
{
    return uniqueName.mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
}

} // namespace

FakePortal::FakePortal(const QString& busAddress, PortalBehaviour behaviour)
    : behaviour_(std::move(behaviour)),
      connectionName_(QStringLiteral("fake-portal-%1").arg(quintptr(this))),
      bus_(QDBusConnection::connectToBus(busAddress, connectionName_))
{
    desktop_ = new FakeRemoteDesktop(*this);
    desktop_->moveToThread(&thread_);
    thread_.start();
    registered_ = bus_.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), desktop_,
                                      QDBusConnection::ExportAllSlots |
                                          QDBusConnection::ExportAllProperties) &&
                  bus_.registerService(QStringLiteral("org.freedesktop.portal.Desktop"));
}

FakePortal::~FakePortal()
{
    bus_.unregisterService(QStringLiteral("org.freedesktop.portal.Desktop"));
    QDBusConnection::disconnectFromBus(connectionName_);
    thread_.quit();
    thread_.wait();
    delete desktop_;
}

QStringList FakePortal::calls() const
{
    QMutexLocker lock(&mutex_);
    return calls_;
}

QVariantMap FakePortal::options(const QString& method) const
{
    QMutexLocker lock(&mutex_);
    return options_.value(method);
}

bool FakePortal::waitForCalls(int count)
{
    return QTest::qWaitFor([&] { return calls().size() >= count; }, 5000);
}

void FakePortal::closeSession()
{
    QMutexLocker lock(&mutex_);
    QDBusMessage closed = QDBusMessage::createSignal(session_, kSession, QStringLiteral("Closed"));
    closed << QVariantMap();
    bus_.send(closed);
}

void FakePortal::record(const QString& call, const QVariantMap& options)
{
    QMutexLocker lock(&mutex_);
    calls_.append(call);
    const QString method = call.section(QLatin1Char(' '), 0, 0);
    options_.insert(method, options);
}

QDBusObjectPath FakeRemoteDesktop::CreateSession(const QVariantMap& options)
{
    const QString path = QStringLiteral("/org/freedesktop/portal/desktop/session/") +
                         senderPart(message().service()) + '/' +
                         options.value(QStringLiteral("session_handle_token")).toString();
    {
        QMutexLocker lock(&portal_.mutex_);
        portal_.session_ = path;
    }
    connection().registerObject(path, new FakeSession(portal_, this),
                                QDBusConnection::ExportAllSlots);
    return answer(QStringLiteral("CreateSession"), options, 0,
                  {{QStringLiteral("session_handle"), path}});
}

QDBusObjectPath FakeRemoteDesktop::SelectDevices(const QDBusObjectPath& session,
                                                 const QVariantMap& options)
{
    if (!onSession(session, QStringLiteral("SelectDevices")))
        return {};
    return answer(QStringLiteral("SelectDevices"), options, 0, {});
}

QDBusObjectPath FakeRemoteDesktop::Start(const QDBusObjectPath& session,
                                         const QString& parentWindow, const QVariantMap& options)
{
    if (!onSession(session, QStringLiteral("Start")))
        return {};
    QVariantMap recorded = options;
    recorded.insert(QStringLiteral("parent_window"), parentWindow);
    const PortalBehaviour& behaviour = portal_.behaviour_;
    QVariantMap results;
    if (behaviour.startResponse == 0)
        results = {{QStringLiteral("devices"), behaviour.grantedDevices},
                   {QStringLiteral("restore_token"), behaviour.restoreToken}};
    return answer(QStringLiteral("Start"), recorded, behaviour.startResponse, results);
}

void FakeRemoteDesktop::NotifyKeyboardKeycode(const QDBusObjectPath& session, const QVariantMap&,
                                              int keycode, uint state)
{
    if (onSession(session, QStringLiteral("NotifyKeyboardKeycode")))
        portal_.record(QStringLiteral("NotifyKeyboardKeycode %1 %2").arg(keycode).arg(state));
}

void FakeRemoteDesktop::NotifyPointerAxisDiscrete(const QDBusObjectPath& session,
                                                  const QVariantMap&, uint axis, int steps)
{
    if (onSession(session, QStringLiteral("NotifyPointerAxisDiscrete")))
        portal_.record(QStringLiteral("NotifyPointerAxisDiscrete %1 %2").arg(axis).arg(steps));
}

void FakeRemoteDesktop::NotifyPointerMotion(const QDBusObjectPath& session, const QVariantMap&,
                                            double dx, double dy)
{
    if (onSession(session, QStringLiteral("NotifyPointerMotion")))
        portal_.record(QStringLiteral("NotifyPointerMotion %1 %2").arg(dx).arg(dy));
}

void FakeRemoteDesktop::NotifyPointerButton(const QDBusObjectPath& session, const QVariantMap&,
                                            int button, uint state)
{
    if (onSession(session, QStringLiteral("NotifyPointerButton")))
        portal_.record(QStringLiteral("NotifyPointerButton %1 %2").arg(button).arg(state));
}

bool FakeRemoteDesktop::onSession(const QDBusObjectPath& session, const QString& method)
{
    QMutexLocker lock(&portal_.mutex_);
    if (session.path() == portal_.session_)
        return true;
    lock.unlock();
    portal_.record(method + QStringLiteral(" on an unknown session ") + session.path());
    sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("no such session"));
    return false;
}

QDBusObjectPath FakeRemoteDesktop::answer(const QString& method, const QVariantMap& options,
                                          quint32 response, const QVariantMap& results)
{
    portal_.record(method, options);
    const PortalBehaviour& behaviour = portal_.behaviour_;
    if (method == behaviour.failingMethod) {
        sendErrorReply(QDBusError::AccessDenied, QStringLiteral("refused by the test"));
        return {};
    }
    using Order = PortalBehaviour::ResponseOrder;
    const QString token = options.value(QStringLiteral("handle_token")).toString();
    const QString sender =
        behaviour.order == Order::OnAnotherPath ? "elsewhere" : senderPart(message().service());
    const QString path =
        QStringLiteral("/org/freedesktop/portal/desktop/request/") + sender + '/' + token;
    QDBusMessage signal = QDBusMessage::createSignal(path, kRequest, QStringLiteral("Response"));
    signal << response << results;
    const QDBusMessage reply = message().createReply(QVariant::fromValue(QDBusObjectPath(path)));

    setDelayedReply(true);
    QDBusConnection bus = connection();
    if (behaviour.order == Order::BeforeReply)
        bus.send(signal);
    bus.send(reply);
    if (behaviour.order == Order::AfterReply)
        bus.send(signal);
    else if (behaviour.order == Order::OnAnotherPath)
        QTimer::singleShot(300, this, [bus, signal]() mutable { bus.send(signal); });
    return {};
}

void FakeSession::Close()
{
    portal_.record(QStringLiteral("Close"));
}
