#pragma once

#include "common/DiagnosticLog.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QString>

// The key and self-signed certificate the port serves TLS with. They are kept
// in a folder of their own and reused at every start, so that a phone that
// accepted the certificate once is not asked again.
class TlsCredentials
{
public:
    // Kept in `folder`; nothing is read before load().
    TlsCredentials(const QString& folder, DiagnosticLog& log);

    // Loads the key and certificate; what is missing, unreadable or corrupt
    // is made anew and saved, with a line saying so. Costs tens of
    // milliseconds the first time OpenSSL is used in the process.
    void load();

    // $XDG_CONFIG_HOME/kestrelio/tls
    static QString defaultFolder();

    // Makes a new certificate with the same key when `address` is not in it;
    // whether it did. Before load(), the address waits for it.
    bool cover(const QString& address);

    // False only when OpenSSL could make no key or certificate at all.
    bool usable() const { return !certificate_.isNull() && !key_.isNull(); }
    const QSslCertificate& certificate() const { return certificate_; }
    const QSslConfiguration& configuration() const { return configuration_; }
    // SHA-256 of the certificate in hex pairs, as phones' browsers show it.
    QString fingerprint() const;

private:
    void loadKey();
    void loadCertificate();
    // With every name and address this computer has now, and `extraAddress`.
    void makeCertificate(const QString& extraAddress = {});
    bool save(const QString& name, const QByteArray& pem);
    void configure();

    QString folder_;
    QString addressToCover_;
    DiagnosticLog& log_;
    QByteArray keyPem_;
    QSslKey key_;
    QSslCertificate certificate_;
    QSslConfiguration configuration_;
};

// "TLS certificate fingerprint (SHA-256): …", for comparing with what a phone
// shows before it accepts the certificate; nothing while there is none.
void printFingerprint(DiagnosticLog& log, const TlsCredentials& credentials);
