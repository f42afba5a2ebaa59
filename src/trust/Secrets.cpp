#include "trust/Secrets.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

#include <array>

QByteArray randomSecret()
{
    std::array<quint32, 4> words{};
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    // Base64url keeps the link in the code short enough for a small code.
    return QByteArray(reinterpret_cast<const char*>(words.data()), sizeof(words))
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

bool constantTimeEquals(QByteArrayView a, QByteArrayView b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

QByteArray tokenHash(QByteArrayView token)
{
    return QCryptographicHash::hash(token, QCryptographicHash::Sha256).toHex();
}
