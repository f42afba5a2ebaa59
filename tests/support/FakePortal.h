#pragma once

#include "PrivateBus.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QVariantMap>

// How the fake desktop answers.
struct PortalBehaviour
{
    enum class ResponseOrder
    {
        AfterReply,
        BeforeReply,
        // A path other than the predictable one, sent a little after the reply,
        // as older portals did.
        OnAnotherPath,
    };
    quint32 deviceTypes = 3;
    quint32 version = 2;
    quint32 startResponse = 0; // 1: the user refused
    quint32 grantedDevices = 3;
    QString failingMethod; // answered with a D-Bus error
    ResponseOrder order = ResponseOrder::AfterReply;
    QString restoreToken = QStringLiteral("token-1");
};

class FakeRemoteDesktop;

// The desktop's side of org.freedesktop.portal.RemoteDesktop on a private bus.
// It answers on a thread of its own, so that a caller that waits for an
// answer on the test's thread gets one. Records every call as one line:
// "CreateSession", "NotifyKeyboardKeycode 17 1", "Close", ...
class FakePortal
{
public:
    FakePortal(const QString& busAddress, PortalBehaviour behaviour);
    ~FakePortal();

    bool isRegistered() const { return registered_; }
    QStringList calls() const;
    // The options of the latest call to `method`; the parent window of Start
    // under "parent_window".
    QVariantMap options(const QString& method) const;
    bool waitForCalls(int count);
    // As when the user stops sharing from the desktop's top bar.
    void closeSession();

private:
    friend class FakeRemoteDesktop;
    friend class FakeSession;
    void record(const QString& call, const QVariantMap& options = {});

    PortalBehaviour behaviour_;
    QString connectionName_;
    QDBusConnection bus_;
    QThread thread_;
    FakeRemoteDesktop* desktop_ = nullptr;
    bool registered_ = false;
    mutable QMutex mutex_;
    QStringList calls_;
    QHash<QString, QVariantMap> options_;
    QString session_;
};

class FakeRemoteDesktop : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.RemoteDesktop")
    Q_PROPERTY(uint AvailableDeviceTypes READ availableDeviceTypes)
    Q_PROPERTY(uint version READ version)
public:
    explicit FakeRemoteDesktop(FakePortal& portal) : portal_(portal) {}
    uint availableDeviceTypes() const { return portal_.behaviour_.deviceTypes; }
    uint version() const { return portal_.behaviour_.version; }

public slots:
    QDBusObjectPath CreateSession(const QVariantMap& options);
    QDBusObjectPath SelectDevices(const QDBusObjectPath& session, const QVariantMap& options);
    QDBusObjectPath Start(const QDBusObjectPath& session, const QString& parentWindow,
                          const QVariantMap& options);
    void NotifyKeyboardKeycode(const QDBusObjectPath& session, const QVariantMap& options,
                               int keycode, uint state);
    void NotifyPointerAxisDiscrete(const QDBusObjectPath& session, const QVariantMap& options,
                                   uint axis, int steps);
    void NotifyPointerMotion(const QDBusObjectPath& session, const QVariantMap& options, double dx,
                             double dy);
    void NotifyPointerButton(const QDBusObjectPath& session, const QVariantMap& options, int button,
                             uint state);

private:
    QDBusObjectPath answer(const QString& method, const QVariantMap& options, quint32 response,
                           const QVariantMap& results);
    bool onSession(const QDBusObjectPath& session, const QString& method);

    FakePortal& portal_;
};

// org.freedesktop.portal.Session of the one session the fake hands out.
class FakeSession : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Session")
public:
    FakeSession(FakePortal& portal, QObject* parent) : QObject(parent), portal_(portal) {}

public slots:
    void Close();

private:
    FakePortal& portal_;
};
