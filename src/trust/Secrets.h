#pragma once

#include <QByteArray>

// 128 random bits from the system's generator, as 22 characters of base64url.
QByteArray randomSecret();

// Takes as long for any two inputs of the same length, so that a peer cannot
// find a secret byte by byte from response times.
bool constantTimeEquals(QByteArrayView a, QByteArrayView b);

// Tokens are kept only as this hash, so the settings file hands no one a key.
QByteArray tokenHash(QByteArrayView token);
