#pragma once

#include "common/DiagnosticLog.h"
#include "trust/GuessLimiter.h"
#include "trust/LocalNetwork.h"
#include "trust/OneTimeCodes.h"
#include "trust/TrustStore.h"

#include <QObject>

// How a connection that brings no credentials is treated when it is not from
// this computer or a trusted address.
enum class StrangerPolicy
{
    Serve,  // headless: no one is there to ask
    Ask,    // held until the user allows or denies it
    Refuse, // paired browsers and trusted devices only
};

struct Admission
{
    enum class Verdict
    {
        Serve,
        Hold,
        Refuse,
    };
    Verdict verdict = Verdict::Refuse;
    bool trusted = false;
    // The page brought the current pairing secret and gets a device token.
    bool paired = false;
    QString reason; // why it was refused
    // A paired page that pairs again brings its old token too: its entry
    // gets the new one.
    QByteArray previousToken;
};

// Decides who may type: the local-network rule, the pairing secret, device
// tokens and addresses the user trusted. An address that keeps guessing
// secrets or tokens is refused for a while without being asked.
class DeviceTrust : public QObject
{
    Q_OBJECT
public:
    explicit DeviceTrust(DiagnosticLog& log, LocalNetworkRule rule = LocalNetworkRule(),
                         QObject* parent = nullptr);

    bool isOnLocalNetwork(const QHostAddress& peer) { return rule_.admits(peer); }
    // `target` is the request target of the upgrade, with "?pair=" or
    // "?device="; an address the user trusted counts for native apps only.
    Admission judge(const QHostAddress& peer, QByteArrayView target, bool browserPage);

    QByteArray pairingSecret() const { return secret_; }
    void renewPairingSecret();
    // A code that pairs like the secret, once, for a short while.
    QByteArray issueOneTimeCode() { return oneTimeCodes_.issue(); }

    StrangerPolicy strangerPolicy() const { return policy_; }
    void setStrangerPolicy(StrangerPolicy policy) { policy_ = policy; }

    TrustStore& store() { return store_; }

signals:
    void pairingSecretChanged();

private:
    Admission refuseGuess(const QString& address, const QString& reason);

    DiagnosticLog& log_;
    LocalNetworkRule rule_;
    TrustStore store_;
    GuessLimiter guesses_;
    QByteArray secret_;
    OneTimeCodes oneTimeCodes_;
    StrangerPolicy policy_ = StrangerPolicy::Serve;
};

// What the browser code holds: the page, with the secret in the fragment,
// which the browser never sends to any server.
QString pairingPageUrl(const QString& pageAddress, QByteArrayView secret);
