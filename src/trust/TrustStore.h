#pragma once

#include "common/DiagnosticLog.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

// A browser that once paired, known by the hash of its device token.
struct TrustedDevice
{
    QByteArray tokenHash;
    QString name;
    QDateTime lastSeen;
};

// What the user trusted, kept in the settings: paired browsers and the
// addresses of native apps allowed once. Both lists are bounded: beyond
// `kMaxEntries` the one seen least recently is forgotten.
class TrustStore : public QObject
{
    Q_OBJECT
public:
    explicit TrustStore(DiagnosticLog& log, QObject* parent = nullptr);
    // Writes the last-seen times still waiting.
    ~TrustStore() override;

    static constexpr qsizetype kMaxEntries = 32;
    // A reconnect only moves a last-seen time; writing it at once would cost
    // a file write on every connection.
    static constexpr std::chrono::minutes kLastSeenWriteDelay{1};

    // Returns the new token; only its hash is kept. The device that
    // `previousToken` belongs to, if any, gets it in place of the old one.
    QByteArray addDevice(const QString& name, QByteArrayView previousToken = {});
    // Whether the token belongs to a trusted device; if so, it is seen now.
    bool recognise(QByteArrayView token);
    void forgetDevice(const QByteArray& tokenHash);
    QList<TrustedDevice> devices() const { return devices_; }

    void trustAddress(const QString& address);
    void forgetAddress(const QString& address);
    bool isTrustedAddress(const QString& address) const { return addresses_.contains(address); }
    // Whether the address is trusted; if so, it is seen now.
    bool recogniseAddress(const QString& address);
    // Least recently seen first.
    QStringList addresses() const { return addresses_; }

    // Why what is trusted cannot be kept beyond this session; empty when it can.
    QString saveProblem() const { return saveProblem_; }

signals:
    void changed();

private:
    void load();
    void save();
    void dropLeastRecentlySeen();
    void saveLater();

    DiagnosticLog& log_;
    QList<TrustedDevice> devices_;
    QStringList addresses_;
    QTimer pendingSave_;
    QString saveProblem_;
};

// "Firefox on Android" and the like, from a User-Agent, for the Devices list.
QString deviceName(QByteArrayView userAgent);
// "Android phone · Chrome" and the like, for telling one waiting device from
// another; empty when the User-Agent says nothing known.
QString deviceKind(QByteArrayView userAgent);
