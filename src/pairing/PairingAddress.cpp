#include "pairing/PairingAddress.h"

#include "common/AppSettings.h"
#include "pairing/NetworkWatcher.h"

namespace {

const QString kChoiceKey = QStringLiteral("pairing/interface");
// The kernel reports an interface coming up as a burst of address and route
// messages over a few milliseconds; one lookup after the burst sees them all.
constexpr std::chrono::milliseconds kSettleTime{50};

} // namespace

PairingAddress::PairingAddress(InterfaceSource source, QObject* parent)
    : QObject(parent), source_(std::move(source)), watcher_(new NetworkWatcher(this))
{
    coalesce_.setSingleShot(true);
    coalesce_.setInterval(kSettleTime);
    connect(&coalesce_, &QTimer::timeout, this, &PairingAddress::lookUp);
    connect(watcher_, &NetworkWatcher::changed, this, &PairingAddress::lookUpSoon);
}

void PairingAddress::lookUpSoon()
{
    if (!coalesce_.isActive())
        coalesce_.start();
}

std::optional<QString> PairingAddress::address() const
{
    if (chosen_ < 0)
        return std::nullopt;
    return candidates_[chosen_].address;
}

void PairingAddress::choose(const QByteArray& interfaceName)
{
    AppSettings().setValue(kChoiceKey, QString::fromUtf8(interfaceName));
    const int index = preferredIndex();
    if (index == chosen_)
        return;
    chosen_ = index;
    emit changed();
}

QString PairingAddress::watchProblem() const
{
    return watcher_->problem();
}

void PairingAddress::lookUp()
{
    QList<PairingCandidate> found = discoverCandidates(source_);
    const std::optional<QString> before = address();
    const bool first = !lookedUp_;
    lookedUp_ = true;
    const bool listChanged = found != candidates_;
    candidates_ = std::move(found);
    chosen_ = preferredIndex();
    if (first || listChanged || address() != before)
        emit changed();
    emit lookedUp();
}

int PairingAddress::preferredIndex() const
{
    if (candidates_.isEmpty())
        return -1;
    const QByteArray remembered = AppSettings().value(kChoiceKey).toString().toUtf8();
    for (int i = 0; i < candidates_.size(); ++i) {
        if (candidates_[i].interfaceName == remembered)
            return i;
    }
    return 0;
}
