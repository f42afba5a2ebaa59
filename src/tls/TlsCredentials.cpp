#include "tls/TlsCredentials.h"

#include "tls/CertificateMaker.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// Apple's limit for a certificate a user accepts by hand.
constexpr std::chrono::days kValidity{825};
const QString kKeyFile = QStringLiteral("key.pem");
const QString kCertificateFile = QStringLiteral("certificate.pem");
constexpr QFile::Permissions kOwnerOnly = QFile::ReadOwner | QFile::WriteOwner;

CertificateNames currentNames(const QString& extraAddress)
{
    CertificateNames names;
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        QHostAddress bare = address;
        bare.setScopeId({});
        names.addresses.append(bare.toString());
    }
    if (!extraAddress.isEmpty() && !names.addresses.contains(extraAddress))
        names.addresses.append(extraAddress);
    if (const QString host = QHostInfo::localHostName();
        !host.isEmpty() && host != QLatin1String("localhost"))
        names.hostNames << host << host + QStringLiteral(".local");
    names.hostNames << QStringLiteral("localhost");
    return names;
}

// Why a file could not be read; none when it does not exist.
std::optional<QString> readFile(const QString& path, QByteArray& content)
{
    QFile file(path);
    if (!file.exists())
        return std::nullopt;
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    content = file.read(64 * 1024);
    return QString();
}

} // namespace

TlsCredentials::TlsCredentials(const QString& folder, DiagnosticLog& log)
    : folder_(folder), log_(log)
{}

void TlsCredentials::load()
{
    QDir().mkpath(folder_);
    QFile::setPermissions(folder_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    loadKey();
    if (!key_.isNull())
        loadCertificate();
    configure();
    if (!addressToCover_.isEmpty())
        cover(addressToCover_);
}

QString TlsCredentials::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/kestrelio/tls");
}

void TlsCredentials::loadKey()
{
    const QString path = QDir(folder_).filePath(kKeyFile);
    const std::optional<QString> failure = readFile(path, keyPem_);
    if (failure && failure->isEmpty()) {
        key_ = QSslKey(keyPem_, QSsl::Ec);
        if (!key_.isNull()) {
            if (QFile::permissions(path) & ~(kOwnerOnly | QFile::ReadUser | QFile::WriteUser)) {
                QFile::setPermissions(path, kOwnerOnly);
                log_.writeLine(QStringLiteral("Made %1 readable by its owner only").arg(path));
            }
            return;
        }
    }
    const std::optional<QByteArray> made = makePrivateKey();
    if (!made) {
        log_.writeLine(QStringLiteral("No TLS key could be made: https is off"));
        return;
    }
    keyPem_ = *made;
    key_ = QSslKey(keyPem_, QSsl::Ec);
    save(kKeyFile, keyPem_);
    if (failure)
        log_.writeLine(QStringLiteral("The TLS key %1 could not be used (%2): made a new key and "
                                      "certificate; phones will ask to accept it again")
                           .arg(path, failure->isEmpty() ? QStringLiteral("corrupt") : *failure));
    makeCertificate();
}

void TlsCredentials::loadCertificate()
{
    if (!certificate_.isNull())
        return;
    const QString path = QDir(folder_).filePath(kCertificateFile);
    QByteArray pem;
    const std::optional<QString> failure = readFile(path, pem);
    if (!failure) {
        makeCertificate();
        return;
    }
    QString problem = *failure;
    if (problem.isEmpty()) {
        certificate_ = QSslCertificate(pem);
        if (certificate_.isNull() || !certificateFitsKey(pem, keyPem_))
            problem = QStringLiteral("corrupt, or not made for the key beside it");
        else if (certificate_.expiryDate() < QDateTime::currentDateTimeUtc().addDays(1))
            problem = QStringLiteral("expired");
        else
            return;
    }
    certificate_.clear();
    makeCertificate();
    log_.writeLine(QStringLiteral("The TLS certificate %1 could not be used (%2): made a new one "
                                  "with the same key; phones will ask to accept it again")
                       .arg(path, problem));
}

void TlsCredentials::makeCertificate(const QString& extraAddress)
{
    const std::optional<QByteArray> pem =
        ::makeCertificate(keyPem_, currentNames(extraAddress), kValidity);
    certificate_ = pem ? QSslCertificate(*pem) : QSslCertificate();
    if (certificate_.isNull()) {
        log_.writeLine(QStringLiteral("No TLS certificate could be made: https is off"));
        return;
    }
    save(kCertificateFile, *pem);
}

bool TlsCredentials::cover(const QString& address)
{
    if (!usable()) {
        addressToCover_ = address;
        return false;
    }
    if (certificate_.subjectAlternativeNames().values(QSsl::IpAddressEntry).contains(address))
        return false;
    makeCertificate(address);
    configure();
    if (!usable())
        return false;
    log_.writeLine(QStringLiteral("The TLS certificate did not name %1: made a new one with the "
                                  "same key; phones will ask to accept it again")
                       .arg(address));
    return true;
}

QString TlsCredentials::fingerprint() const
{
    if (certificate_.isNull())
        return {};
    return QString::fromLatin1(
        certificate_.digest(QCryptographicHash::Sha256).toHex(' ').toUpper());
}

bool TlsCredentials::save(const QString& name, const QByteArray& pem)
{
    const QString path = QDir(folder_).filePath(name);
    QSaveFile file(path);
    const bool saved = file.open(QIODevice::WriteOnly) && file.setPermissions(kOwnerOnly) &&
                       file.write(pem) == pem.size() && file.commit();
    if (!saved)
        log_.writeLine(QStringLiteral("The TLS certificate cannot be kept in %1 (%2): phones will "
                                      "ask to accept a new one at every start")
                           .arg(path, file.errorString()));
    return saved;
}

void TlsCredentials::configure()
{
    configuration_ = QSslConfiguration::defaultConfiguration();
    configuration_.setLocalCertificate(certificate_);
    configuration_.setPrivateKey(key_);
    configuration_.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration_.setProtocol(QSsl::TlsV1_2OrLater);
}

void printFingerprint(DiagnosticLog& log, const TlsCredentials& credentials)
{
    if (credentials.usable())
        log.writeLine(QStringLiteral("TLS certificate fingerprint (SHA-256): ") +
                      credentials.fingerprint());
}
