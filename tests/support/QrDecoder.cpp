#include "QrDecoder.h"

#include <QPainter>

#include <zbar.h>

using namespace zbar;

QList<QByteArray> decodeQrCodes(const QImage& image)
{
    const QImage gray = image.convertToFormat(QImage::Format_Grayscale8);
    QByteArray pixels;
    for (int y = 0; y < gray.height(); ++y)
        pixels.append(reinterpret_cast<const char*>(gray.constScanLine(y)), gray.width());

    zbar_image_scanner_t* scanner = zbar_image_scanner_create();
    zbar_image_scanner_set_config(scanner, ZBAR_NONE, ZBAR_CFG_ENABLE, 0);
    zbar_image_scanner_set_config(scanner, ZBAR_QRCODE, ZBAR_CFG_ENABLE, 1);
    zbar_image_scanner_set_config(scanner, ZBAR_QRCODE, ZBAR_CFG_BINARY, 1);
    zbar_image_t* frame = zbar_image_create();
    zbar_image_set_format(frame, zbar_fourcc('Y', '8', '0', '0'));
    zbar_image_set_size(frame, unsigned(gray.width()), unsigned(gray.height()));
    zbar_image_set_data(frame, pixels.constData(), unsigned(pixels.size()), nullptr);

    QList<QByteArray> found;
    if (zbar_scan_image(scanner, frame) > 0) {
        for (const zbar_symbol_t* symbol = zbar_image_first_symbol(frame); symbol;
             symbol = zbar_symbol_next(symbol))
            found.append(QByteArray(zbar_symbol_get_data(symbol),
                                    qsizetype(zbar_symbol_get_data_length(symbol))));
    }
    zbar_image_destroy(frame);
    zbar_image_scanner_destroy(scanner);
    return found;
}

QImage terminalToImage(const QStringList& lines)
{
    constexpr int cell = 4; // pixels per module
    const int width = lines.isEmpty() ? 0 : int(lines.first().size());
    // A margin of dark terminal background all round.
    QImage image((width + 8) * cell, (int(lines.size()) * 2 + 8) * cell, QImage::Format_Grayscale8);
    image.fill(Qt::black);
    QPainter painter(&image);
    for (int row = 0; row < lines.size(); ++row) {
        for (int column = 0; column < lines[row].size(); ++column) {
            const QChar c = lines[row][column];
            const bool top = c == u'\u2588' || c == u'\u2580';
            const bool bottom = c == u'\u2588' || c == u'\u2584';
            const int x = (column + 4) * cell;
            const int y = (row * 2 + 4) * cell;
            if (top)
                painter.fillRect(x, y, cell, cell, Qt::white);
            if (bottom)
                painter.fillRect(x, y + cell, cell, cell, Qt::white);
        }
    }
    return image;
}
