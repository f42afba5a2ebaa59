#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QVariantMap>

#include <functional>

// Waits for the Response signal of one portal request. It listens on the path
// the request will have before the call goes out, so that a Response sent
// before the method's reply is not missed, and moves to the path the reply
// names if that differs. Deletes itself after the one answer.
class PortalRequest final : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<void(quint32 response, const QVariantMap& results)>;

    PortalRequest(QDBusConnection bus, const QString& path, Handler handler, QObject* parent);
    void follow(const QString& path);

public slots:
    void respond(uint response, const QVariantMap& results);

private:
    void listen(bool on);

    QDBusConnection bus_;
    QString path_;
    Handler handler_;
    bool answered_ = false;
};
