#include "trust/TrustStore.h"

#include "common/AppSettings.h"
#include "trust/Secrets.h"

namespace {

const QString kGroup = QStringLiteral("trust");

} // namespace

TrustStore::TrustStore(QObject* parent) : QObject(parent)
{
    AppSettings settings;
    settings.beginGroup(kGroup);
    addresses_ = settings.value(QStringLiteral("addresses")).toStringList();
    const int count = settings.beginReadArray(QStringLiteral("devices"));
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        TrustedDevice device{settings.value(QStringLiteral("tokenHash")).toByteArray(),
                             settings.value(QStringLiteral("name")).toString(),
                             settings.value(QStringLiteral("lastSeen")).toDateTime()};
        if (device.tokenHash.size() == 64)
            devices_.append(device);
    }
    settings.endArray();
}

QByteArray TrustStore::addDevice(const QString& name)
{
    const QByteArray token = randomSecret();
    devices_.append({tokenHash(token), name, QDateTime::currentDateTimeUtc()});
    save();
    return token;
}

bool TrustStore::recognise(QByteArrayView token)
{
    const QByteArray hash = tokenHash(token);
    for (TrustedDevice& device : devices_) {
        if (constantTimeEquals(device.tokenHash, hash)) {
            device.lastSeen = QDateTime::currentDateTimeUtc();
            save();
            return true;
        }
    }
    return false;
}

void TrustStore::forgetDevice(const QByteArray& tokenHash)
{
    if (devices_.removeIf([&](const TrustedDevice& d) { return d.tokenHash == tokenHash; }) > 0)
        save();
}

void TrustStore::trustAddress(const QString& address)
{
    if (addresses_.contains(address))
        return;
    addresses_.append(address);
    save();
}

void TrustStore::forgetAddress(const QString& address)
{
    if (addresses_.removeAll(address) > 0)
        save();
}

void TrustStore::save()
{
    AppSettings settings;
    settings.beginGroup(kGroup);
    settings.setValue(QStringLiteral("addresses"), addresses_);
    settings.beginWriteArray(QStringLiteral("devices"), int(devices_.size()));
    for (int i = 0; i < devices_.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("tokenHash"), devices_[i].tokenHash);
        settings.setValue(QStringLiteral("name"), devices_[i].name);
        settings.setValue(QStringLiteral("lastSeen"), devices_[i].lastSeen);
    }
    settings.endArray();
    emit changed();
}

namespace {

QString firstFound(const QString& agent,
                   std::initializer_list<std::pair<const char*, const char*>> table)
{
    for (const auto& [needle, name] : table) {
        if (agent.contains(QLatin1String(needle)))
            return QString::fromLatin1(name);
    }
    return QString();
}

QString browserOf(const QString& agent)
{
    return firstFound(agent, {{"Firefox/", "Firefox"},
                              {"EdgA/", "Edge"},
                              {"Edg/", "Edge"},
                              {"SamsungBrowser/", "Samsung Internet"},
                              {"Chrome/", "Chrome"},
                              {"Safari/", "Safari"}});
}

} // namespace

QString deviceName(QByteArrayView userAgent)
{
    const QString agent = QString::fromLatin1(userAgent);
    const QString browser = browserOf(agent);
    const QString system = firstFound(agent, {{"Android", "Android"},
                                              {"iPhone", "iPhone"},
                                              {"iPad", "iPad"},
                                              {"Linux", "Linux"},
                                              {"Windows", "Windows"},
                                              {"Mac OS X", "macOS"}});
    if (browser.isEmpty())
        return system.isEmpty() ? QStringLiteral("Browser")
                                : QStringLiteral("Browser on ") + system;
    return system.isEmpty() ? browser : browser + QStringLiteral(" on ") + system;
}

QString deviceKind(QByteArrayView userAgent)
{
    const QString agent = QString::fromLatin1(userAgent);
    // Android browsers say "Mobile" on phones only.
    const QString kind =
        agent.contains(QLatin1String("Android"))
            ? (agent.contains(QLatin1String("Mobile")) ? QStringLiteral("Android phone")
                                                       : QStringLiteral("Android tablet"))
            : firstFound(agent, {{"iPhone", "iPhone"},
                                 {"iPad", "iPad"},
                                 {"Linux", "Linux computer"},
                                 {"Windows", "Windows computer"},
                                 {"Mac OS X", "Mac"}});
    const QString browser = browserOf(agent);
    if (kind.isEmpty() || browser.isEmpty())
        return kind + browser;
    return kind + QStringLiteral(" · ") + browser;
}
