#include "trust/DeviceTrust.h"

#include "server/PeerAddress.h"
#include "trust/Secrets.h"

#include <QUrlQuery>

DeviceTrust::DeviceTrust(LocalNetworkRule rule, QObject* parent)
    : QObject(parent), rule_(std::move(rule)), store_(this), secret_(randomSecret())
{}

Admission DeviceTrust::judge(const QHostAddress& peer, QByteArrayView target, bool browserPage)
{
    const qsizetype question = target.indexOf('?');
    const QUrlQuery query(question < 0 ? QString()
                                       : QString::fromLatin1(target.sliced(question + 1)));
    if (query.hasQueryItem(QStringLiteral("pair"))) {
        if (!constantTimeEquals(query.queryItemValue(QStringLiteral("pair")).toLatin1(), secret_))
            return {Admission::Verdict::Refuse, false, false,
                    QStringLiteral("wrong pairing secret")};
        return {Admission::Verdict::Serve, true, true, {}};
    }
    if (query.hasQueryItem(QStringLiteral("device"))) {
        if (!store_.recognise(query.queryItemValue(QStringLiteral("device")).toLatin1()))
            return {Admission::Verdict::Refuse, false, false,
                    QStringLiteral("unknown device token")};
        return {Admission::Verdict::Serve, true, false, {}};
    }
    const QString address = displayAddress(peer);
    if (QHostAddress(address).isLoopback() || (!browserPage && store_.isTrustedAddress(address)))
        return {Admission::Verdict::Serve, true, false, {}};
    switch (policy_) {
    case StrangerPolicy::Serve:
        return {Admission::Verdict::Serve, false, false, {}};
    case StrangerPolicy::Ask:
        return {Admission::Verdict::Hold, false, false, {}};
    case StrangerPolicy::Refuse:
        break;
    }
    return {Admission::Verdict::Refuse, false, false, QStringLiteral("neither paired nor trusted")};
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
