#pragma once

#include <QImage>
#include <QStringList>

// Every QR code a real decoder (zbar) finds in the image, as its exact bytes.
QList<QByteArray> decodeQrCodes(const QImage& image);

// Draws half-block terminal lines as a terminal with light text on a dark
// background would show them.
QImage terminalToImage(const QStringList& lines);
