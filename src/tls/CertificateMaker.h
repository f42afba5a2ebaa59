#pragma once

#include <QByteArray>
#include <QStringList>

#include <chrono>
#include <optional>

// What a self-signed certificate names: the addresses and host names a
// phone may reach this computer by.
struct CertificateNames
{
    QStringList addresses;
    QStringList hostNames;
};

// A new ECDSA P-256 private key, as PEM; none when OpenSSL fails.
std::optional<QByteArray> makePrivateKey();

// A self-signed certificate for `names`, signed with `keyPem`, valid from now
// for `validity`, as PEM; none when the key is unusable or OpenSSL fails.
std::optional<QByteArray> makeCertificate(const QByteArray& keyPem, const CertificateNames& names,
                                          std::chrono::days validity);

// Whether the certificate's public key is the one of this private key.
bool certificateFitsKey(const QByteArray& certificatePem, const QByteArray& keyPem);
