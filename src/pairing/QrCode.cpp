#include "pairing/QrCode.h"

#include <QPainter>
#include <qrencode.h>

#include <memory>

namespace {

constexpr int kQuietZoneModules = 4;

struct QrcodeDeleter
{
    void operator()(QRcode* code) const { QRcode_free(code); }
};

} // namespace

bool QrSymbol::isDark(int x, int y) const
{
    return x >= 0 && y >= 0 && x < size_ && y < size_ && dark_[y * size_ + x];
}

std::optional<QrSymbol> encodeQrSymbol(QByteArrayView payload)
{
    const std::unique_ptr<QRcode, QrcodeDeleter> code(
        QRcode_encodeData(int(payload.size()),
                          reinterpret_cast<const unsigned char*>(payload.data()), 0, QR_ECLEVEL_M));
    if (!code)
        return std::nullopt;
    const int size = code->width + 2 * kQuietZoneModules;
    QVector<bool> dark(size * size, false);
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            // The lowest bit of each module's byte says whether it is dark.
            dark[(y + kQuietZoneModules) * size + x + kQuietZoneModules] =
                code->data[y * code->width + x] & 1;
        }
    }
    return QrSymbol(size, std::move(dark));
}

std::optional<QImage> generateQRCode(const QString& text)
{
    const std::optional<QrSymbol> symbol = encodeQrSymbol(text.toUtf8());
    if (!symbol)
        return std::nullopt;
    const int pixels = symbol->size() * kQrPixelsPerModule;
    QImage image(pixels, pixels, QImage::Format_Grayscale8);
    if (image.isNull())
        return std::nullopt;
    image.fill(Qt::white);
    QPainter painter(&image);
    for (int y = 0; y < symbol->size(); ++y) {
        for (int x = 0; x < symbol->size(); ++x) {
            if (symbol->isDark(x, y))
                painter.fillRect(x * kQrPixelsPerModule, y * kQrPixelsPerModule, kQrPixelsPerModule,
                                 kQrPixelsPerModule, Qt::black);
        }
    }
    painter.end();
    image.setDevicePixelRatio(qreal(pixels) / kQrLogicalSize);
    return image;
}

QStringList renderForTerminal(const QrSymbol& symbol)
{
    QStringList lines;
    for (int y = 0; y < symbol.size(); y += 2) {
        QString line = QString::fromUtf16(kTerminalCodeStart);
        for (int x = 0; x < symbol.size(); ++x) {
            // Below the last row lies the white background.
            const bool topDark = symbol.isDark(x, y);
            const bool bottomDark = symbol.isDark(x, y + 1);
            line += topDark && bottomDark ? u'\u2588'
                    : topDark             ? u'\u2580'
                    : bottomDark          ? u'\u2584'
                                          : u' ';
        }
        lines.append(line + QString::fromUtf16(kTerminalCodeEnd));
    }
    return lines;
}
