#pragma once

#include <QByteArray>
#include <QtGlobal>

// Pins the calling thread to one core: on a virtual machine a wake-up that
// crosses cores costs far more than one that stays, so what is compared must
// be placed alike.
void pinToCore(int core);

// The process's resident memory in KiB.
long residentKiB();

// A TCP connection to loopback with Nagle off; every blocking call on it
// gives up after 10 s, so a stalled server fails the run instead of hanging
// it. `receiveBuffer` > 0 shrinks the socket's receive buffer. -1 on failure.
int connectLoopback(quint16 port, int receiveBuffer = 0);

// connectLoopback, then the WebSocket upgrade; -1 unless the server says 101.
int openWebSocket(quint16 port, int receiveBuffer = 0);

bool writeAll(int fd, const QByteArray& bytes);
