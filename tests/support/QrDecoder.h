#pragma once

#include <QImage>
#include <QStringList>

// Every QR code a real decoder (zbar) finds in the image, as its exact bytes.
QList<QByteArray> decodeQrCodes(const QImage& image);
// Where in the image each code lies that zbar reads.
QList<QRect> qrCodeAreas(const QImage& image);

// Draws the terminal lines of a code as a terminal with a dark theme shows
// them, the colours the lines set taking precedence; an empty image when a
// line does not set them.
QImage terminalToImage(const QStringList& lines);
