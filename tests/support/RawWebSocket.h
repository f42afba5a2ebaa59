#pragma once

#include <QByteArray>

// Client-side WebSocket wire pieces, for tests and benchmarks that need the
// bytes under their control.
namespace RawWebSocket {

QByteArray upgradeRequest(const QByteArray& host, const QByteArray& origin = {});

// One complete masked frame, as a client must send it (opcode 0x1 text, 0x2 binary).
QByteArray clientFrame(QByteArrayView payload, quint8 opcode = 0x1);

} // namespace RawWebSocket
