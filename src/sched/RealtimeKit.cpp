#include "sched/RealtimeKit.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>

#include <unistd.h>

namespace {

const QString kService = QStringLiteral("org.freedesktop.RealtimeKit1");
const QString kPath = QStringLiteral("/org/freedesktop/RealtimeKit1");

QDBusMessage call(const QString& interface, const QString& method, const QVariantList& arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, interface, method);
    message.setArguments(arguments);
    const QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return message.createErrorReply(QDBusError::Disconnected, QStringLiteral("no system bus"));
    return bus.call(message, QDBus::Block, RealtimeKit::kTimeoutMs);
}

std::optional<qint64> property(const QString& name, QString& error)
{
    const QDBusMessage reply = call(QStringLiteral("org.freedesktop.DBus.Properties"),
                                    QStringLiteral("Get"), {kService, name});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        error = reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
        return std::nullopt;
    }
    bool ok = false;
    const qint64 value = reply.arguments().first().value<QDBusVariant>().variant().toLongLong(&ok);
    if (!ok)
        error = QStringLiteral("unreadable %1").arg(name);
    return ok ? std::optional(value) : std::nullopt;
}

QString errorOf(const QDBusMessage& reply)
{
    if (reply.type() == QDBusMessage::ReplyMessage)
        return {};
    return reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
}

} // namespace

std::optional<RtkitLimits> RealtimeKit::limits(QString& error) const
{
    const std::optional<qint64> priority = property(QStringLiteral("MaxRealtimePriority"), error);
    if (!priority)
        return std::nullopt;
    const std::optional<qint64> nice = property(QStringLiteral("MinNiceLevel"), error);
    if (!nice)
        return std::nullopt;
    const std::optional<qint64> run = property(QStringLiteral("RTTimeUSecMax"), error);
    if (!run)
        return std::nullopt;
    return RtkitLimits{int(*priority), int(*nice), *run};
}

QString RealtimeKit::makeThreadRealtime(pid_t thread, int priority) const
{
    return errorOf(call(kService, QStringLiteral("MakeThreadRealtimeWithPID"),
                        {quint64(::getpid()), quint64(thread), quint32(priority)}));
}

QString RealtimeKit::makeThreadHighPriority(pid_t thread, int niceLevel) const
{
    return errorOf(call(kService, QStringLiteral("MakeThreadHighPriority"),
                        {quint64(thread), qint32(niceLevel)}));
}
