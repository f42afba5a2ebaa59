#include "trust/TrustStore.h"

#include "common/AppSettings.h"
#include "common/SettingsFile.h"
#include "trust/Secrets.h"

#include <algorithm>

namespace {

const QString kGroup = QStringLiteral("trust");
const QString kDevices = QStringLiteral("devices");
const QString kAddresses = QStringLiteral("addresses");

} // namespace

TrustStore::TrustStore(DiagnosticLog& log, QObject* parent) : QObject(parent), log_(log)
{
    pendingSave_.setSingleShot(true);
    pendingSave_.setInterval(kLastSeenWriteDelay);
    connect(&pendingSave_, &QTimer::timeout, this, &TrustStore::save);
    load();
}

TrustStore::~TrustStore()
{
    if (pendingSave_.isActive())
        save();
}

void TrustStore::load()
{
    AppSettings settings;
    settings.beginGroup(kGroup);
    addresses_ = settings.value(kAddresses).toStringList();
    // The size a file claims is no measure: only the entries in it are read.
    const int claimed = settings.value(kDevices + QStringLiteral("/size")).toInt();
    settings.beginGroup(kDevices);
    const QStringList entries = settings.childGroups();
    for (const QString& entry : entries) {
        settings.beginGroup(entry);
        TrustedDevice device{settings.value(QStringLiteral("tokenHash")).toByteArray(),
                             settings.value(QStringLiteral("name")).toString(),
                             settings.value(QStringLiteral("lastSeen")).toDateTime()};
        settings.endGroup();
        if (device.tokenHash.size() == 64)
            devices_.append(device);
    }
    settings.endGroup();
    if (claimed <= kMaxEntries && entries.size() <= kMaxEntries && addresses_.size() <= kMaxEntries)
        return;

    std::sort(devices_.begin(), devices_.end(),
              [](const auto& a, const auto& b) { return a.lastSeen > b.lastSeen; });
    devices_.resize(qMin(devices_.size(), kMaxEntries));
    addresses_ = addresses_.mid(qMax(0, addresses_.size() - kMaxEntries));
    const QString copy = SettingsFile::keepBadCopy();
    log_.writeLine(
        QStringLiteral("The settings file %1 lists more paired devices or app "
                       "addresses than the %2 kept; kept those seen most recently%3")
            .arg(SettingsFile::path())
            .arg(kMaxEntries)
            .arg(copy.isEmpty() ? QString() : QStringLiteral(", the file as it was is ") + copy));
    save();
}

QByteArray TrustStore::addDevice(const QString& name, QByteArrayView previousToken)
{
    const QByteArray token = randomSecret();
    const QByteArray previous = previousToken.isEmpty() ? QByteArray() : tokenHash(previousToken);
    const auto same = std::find_if(devices_.begin(), devices_.end(), [&](const auto& device) {
        return !previous.isEmpty() && constantTimeEquals(device.tokenHash, previous);
    });
    if (same != devices_.end())
        *same = {tokenHash(token), name, QDateTime::currentDateTimeUtc()};
    else
        devices_.append({tokenHash(token), name, QDateTime::currentDateTimeUtc()});
    dropLeastRecentlySeen();
    save();
    return token;
}

bool TrustStore::recognise(QByteArrayView token)
{
    const QByteArray hash = tokenHash(token);
    for (TrustedDevice& device : devices_) {
        if (constantTimeEquals(device.tokenHash, hash)) {
            device.lastSeen = QDateTime::currentDateTimeUtc();
            saveLater();
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
    addresses_.removeAll(address);
    addresses_.append(address);
    dropLeastRecentlySeen();
    save();
}

bool TrustStore::recogniseAddress(const QString& address)
{
    if (!addresses_.contains(address))
        return false;
    if (addresses_.last() != address) {
        addresses_.removeAll(address);
        addresses_.append(address);
        saveLater();
    }
    return true;
}

void TrustStore::forgetAddress(const QString& address)
{
    if (addresses_.removeAll(address) > 0)
        save();
}

void TrustStore::dropLeastRecentlySeen()
{
    while (devices_.size() > kMaxEntries) {
        const auto oldest =
            std::min_element(devices_.begin(), devices_.end(),
                             [](const auto& a, const auto& b) { return a.lastSeen < b.lastSeen; });
        log_.writeLine(QStringLiteral("Forgot the paired device %1, seen least recently: at most "
                                      "%2 are kept")
                           .arg(oldest->name)
                           .arg(kMaxEntries));
        devices_.erase(oldest);
    }
    while (addresses_.size() > kMaxEntries)
        log_.writeLine(QStringLiteral("Forgot the trusted app address %1, seen least recently: "
                                      "at most %2 are kept")
                           .arg(addresses_.takeFirst())
                           .arg(kMaxEntries));
}

void TrustStore::saveLater()
{
    if (!pendingSave_.isActive())
        pendingSave_.start();
    emit changed();
}

void TrustStore::save()
{
    pendingSave_.stop();
    AppSettings settings;
    settings.beginGroup(kGroup);
    settings.setValue(kAddresses, addresses_);
    settings.remove(kDevices);
    settings.beginWriteArray(kDevices, int(devices_.size()));
    for (int i = 0; i < devices_.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("tokenHash"), devices_[i].tokenHash);
        settings.setValue(QStringLiteral("name"), devices_[i].name);
        settings.setValue(QStringLiteral("lastSeen"), devices_[i].lastSeen);
    }
    settings.endArray();
    settings.endGroup();
    settings.sync();
    const QString problem = settings.status() == QSettings::NoError
                                ? QString()
                                : QStringLiteral("Paired devices cannot be saved: %1 is read-only")
                                      .arg(settings.fileName());
    if (problem != saveProblem_ && !problem.isEmpty())
        log_.writeLine(problem);
    saveProblem_ = problem;
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
