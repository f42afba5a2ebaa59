#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

// A browser that once paired, known by the hash of its device token.
struct TrustedDevice
{
    QByteArray tokenHash;
    QString name;
    QDateTime lastSeen;
};

// What the user trusted, kept in the settings: paired browsers and the
// addresses of native apps allowed once.
class TrustStore : public QObject
{
    Q_OBJECT
public:
    explicit TrustStore(QObject* parent = nullptr);

    // Returns the new device's token; only its hash is kept.
    QByteArray addDevice(const QString& name);
    // Whether the token belongs to a trusted device; if so, it is seen now.
    bool recognise(QByteArrayView token);
    void forgetDevice(const QByteArray& tokenHash);
    QList<TrustedDevice> devices() const { return devices_; }

    void trustAddress(const QString& address);
    void forgetAddress(const QString& address);
    bool isTrustedAddress(const QString& address) const { return addresses_.contains(address); }
    QStringList addresses() const { return addresses_; }

signals:
    void changed();

private:
    void save();

    QList<TrustedDevice> devices_;
    QStringList addresses_;
};

// "Firefox on Android" and the like, from a User-Agent, for the Devices list.
QString deviceName(QByteArrayView userAgent);
// "Android phone · Chrome" and the like, for telling one waiting device from
// another; empty when the User-Agent says nothing known.
QString deviceKind(QByteArrayView userAgent);
