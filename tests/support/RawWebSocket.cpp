#include "RawWebSocket.h"

#include <QtEndian>

namespace RawWebSocket {

QByteArray upgradeRequest(const QByteArray& host, const QByteArray& origin)
{
    QByteArray request = "GET / HTTP/1.1\r\nHost: " + host +
                         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                         "Sec-WebSocket-Version: 13\r\n";
    if (!origin.isEmpty())
        request += "Origin: " + origin + "\r\n";
    return request + "\r\n";
}

QByteArray clientFrame(QByteArrayView payload, quint8 opcode)
{
    static constexpr char mask[4] = {0x12, 0x34, 0x56, 0x78};
    QByteArray frame;
    frame.append(char(0x80 | opcode));
    const auto size = quint64(payload.size());
    if (size < 126) {
        frame.append(char(0x80 | size));
    } else if (size <= 0xffff) {
        frame.append(char(0x80 | 126));
        const quint16 length = qToBigEndian(quint16(size));
        frame.append(reinterpret_cast<const char*>(&length), 2);
    } else {
        frame.append(char(0x80 | 127));
        const quint64 length = qToBigEndian(size);
        frame.append(reinterpret_cast<const char*>(&length), 8);
    }
    frame.append(mask, 4);
    for (qsizetype i = 0; i < payload.size(); ++i)
        frame.append(char(payload[i] ^ mask[i % 4]));
    return frame;
}

} // namespace RawWebSocket
