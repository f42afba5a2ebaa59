#include "trust/DeviceTrust.h"

#include "server/PeerAddress.h"
#include "trust/Secrets.h"

#include <QUrlQuery>

DeviceTrust::DeviceTrust(DiagnosticLog& log, LocalNetworkRule rule, QObject* parent)
    : QObject(parent), log_(log), rule_(std::move(rule)), store_(log, this), secret_(randomSecret())
{}

Admission DeviceTrust::judge(const QHostAddress& peer, QByteArrayView target, bool browserPage)
{
    const QString address = displayAddress(peer);
    const bool loopback = QHostAddress(address).isLoopback();
    if (!loopback && guesses_.isLockedOut(address))
        return {Admission::Verdict::Refuse,
                false,
                false,
                QStringLiteral("too many wrong secrets or tokens"),
                {}};
    const qsizetype question = target.indexOf('?');
    const QUrlQuery query(question < 0 ? QString()
                                       : QString::fromLatin1(target.sliced(question + 1)));
    const QByteArray token = query.queryItemValue(QStringLiteral("device")).toLatin1();
    if (query.hasQueryItem(QStringLiteral("pair"))) {
        const QByteArray pair = query.queryItemValue(QStringLiteral("pair")).toLatin1();
        if (!constantTimeEquals(pair, secret_) && !oneTimeCodes_.redeem(pair))
            return refuseGuess(address, QStringLiteral("wrong pairing secret"));
        return {Admission::Verdict::Serve, true, true, {}, token};
    }
    if (query.hasQueryItem(QStringLiteral("device"))) {
        if (!store_.recognise(token))
            return refuseGuess(address, QStringLiteral("unknown device token"));
        return {Admission::Verdict::Serve, true, false, {}, {}};
    }
    if (loopback || (!browserPage && store_.recogniseAddress(address)))
        return {Admission::Verdict::Serve, true, false, {}, {}};
    switch (policy_) {
    case StrangerPolicy::Serve:
        return {Admission::Verdict::Serve, false, false, {}, {}};
    case StrangerPolicy::Ask:
        return {Admission::Verdict::Hold, false, false, {}, {}};
    case StrangerPolicy::Refuse:
        break;
    }
    return {
        Admission::Verdict::Refuse, false, false, QStringLiteral("neither paired nor trusted"), {}};
}

Admission DeviceTrust::refuseGuess(const QString& address, const QString& reason)
{
    if (!QHostAddress(address).isLoopback() && guesses_.noteWrongGuess(address))
        log_.writeLine(
            QStringLiteral("Refusing %1 for %2 s: %3 wrong secrets or tokens within %4 s")
                .arg(address)
                .arg(GuessLimiter::kLockout.count())
                .arg(GuessLimiter::kWrongGuesses)
                .arg(GuessLimiter::kWindow.count()));
    return {Admission::Verdict::Refuse, false, false, reason, {}};
}

void DeviceTrust::renewPairingSecret()
{
    secret_ = randomSecret();
    emit pairingSecretChanged();
}

QString pairingPageUrl(const QString& pageAddress, QByteArrayView secret)
{
    return pageAddress + QStringLiteral("/#pair=") + QString::fromLatin1(secret);
}
