#include "tls/CertificateMaker.h"

#include <memory>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

namespace {

template <auto Free> struct Freer
{
    template <typename T> void operator()(T* pointer) const { Free(pointer); }
};
using Bio = std::unique_ptr<BIO, Freer<BIO_free>>;
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509_free>>;
using Names = std::unique_ptr<GENERAL_NAMES, Freer<GENERAL_NAMES_free>>;

QByteArray drain(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, qsizetype(size));
}

// An IP address, or a DNS name.
bool addName(GENERAL_NAMES* names, int type, const QByteArray& value)
{
    ASN1_STRING* content = nullptr;
    if (type == GEN_IPADD) {
        content = a2i_IPADDRESS(value.constData());
    } else {
        content = ASN1_IA5STRING_new();
        if (content && !ASN1_STRING_set(content, value.constData(), int(value.size()))) {
            ASN1_STRING_free(content);
            content = nullptr;
        }
    }
    GENERAL_NAME* name = content ? GENERAL_NAME_new() : nullptr;
    if (!name) {
        ASN1_STRING_free(content);
        return false;
    }
    GENERAL_NAME_set0_value(name, type, content);
    if (!sk_GENERAL_NAME_push(names, name)) {
        GENERAL_NAME_free(name);
        return false;
    }
    return true;
}

bool addSubjectAltNames(X509* certificate, const CertificateNames& wanted)
{
    const Names names(sk_GENERAL_NAME_new_null());
    if (!names)
        return false;
    for (const QString& address : wanted.addresses) {
        if (!addName(names.get(), GEN_IPADD, address.toLatin1()))
            return false;
    }
    for (const QString& host : wanted.hostNames) {
        if (!addName(names.get(), GEN_DNS, host.toUtf8()))
            return false;
    }
    return X509_add1_ext_i2d(certificate, NID_subject_alt_name, names.get(), 0, 0) == 1;
}

bool setSerial(X509* certificate)
{
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return false;
    bytes[0] &= 0x7f; // a positive number
    BIGNUM* number = BN_bin2bn(bytes, sizeof bytes, nullptr);
    const bool set = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
    BN_free(number);
    return set;
}

} // namespace

std::optional<QByteArray> makePrivateKey()
{
    const Key key(EVP_EC_gen("P-256"));
    const Bio out(BIO_new(BIO_s_mem()));
    if (!key || !out ||
        PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return std::nullopt;
    return drain(out.get());
}

std::optional<QByteArray> makeCertificate(const QByteArray& keyPem, const CertificateNames& names,
                                          std::chrono::days validity)
{
    const Bio in(BIO_new_mem_buf(keyPem.constData(), int(keyPem.size())));
    const Key key(in ? PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr) : nullptr);
    const Certificate certificate(X509_new());
    if (!key || !certificate)
        return std::nullopt;
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    const QByteArray commonName = names.hostNames.value(0, QStringLiteral("Kestrelio")).toUtf8();
    const long seconds = long(std::chrono::seconds(validity).count());
    const bool built =
        X509_set_version(certificate.get(), 2) == 1 && setSerial(certificate.get()) &&
        X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0) &&
        X509_gmtime_adj(X509_getm_notAfter(certificate.get()), seconds) &&
        X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>("Kestrelio"), -1, -1,
                                   0) == 1 &&
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.constData()),
                                   -1, -1, 0) == 1 &&
        X509_set_issuer_name(certificate.get(), subject) == 1 &&
        X509_set_pubkey(certificate.get(), key.get()) == 1 &&
        addSubjectAltNames(certificate.get(), names) &&
        X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0;
    const Bio out(BIO_new(BIO_s_mem()));
    if (!built || !out || PEM_write_bio_X509(out.get(), certificate.get()) != 1)
        return std::nullopt;
    return drain(out.get());
}

bool certificateFitsKey(const QByteArray& certificatePem, const QByteArray& keyPem)
{
    const Bio keyIn(BIO_new_mem_buf(keyPem.constData(), int(keyPem.size())));
    const Bio certificateIn(
        BIO_new_mem_buf(certificatePem.constData(), int(certificatePem.size())));
    const Key key(keyIn ? PEM_read_bio_PrivateKey(keyIn.get(), nullptr, nullptr, nullptr)
                        : nullptr);
    const Certificate certificate(
        certificateIn ? PEM_read_bio_X509(certificateIn.get(), nullptr, nullptr, nullptr)
                      : nullptr);
    return key && certificate && X509_check_private_key(certificate.get(), key.get()) == 1;
}
