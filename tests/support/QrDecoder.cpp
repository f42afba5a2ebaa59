#include "QrDecoder.h"

#include "pairing/QrCode.h"

#include <QPainter>
#include <QPolygon>

#include <zbar.h>

using namespace zbar;

namespace {

template <class Found> void scan(const QImage& image, Found found)
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
    if (zbar_scan_image(scanner, frame) > 0) {
        for (const zbar_symbol_t* symbol = zbar_image_first_symbol(frame); symbol;
             symbol = zbar_symbol_next(symbol))
            found(symbol);
    }
    zbar_image_destroy(frame);
    zbar_image_scanner_destroy(scanner);
}

} // namespace

QList<QByteArray> decodeQrCodes(const QImage& image)
{
    QList<QByteArray> found;
    scan(image, [&found](const zbar_symbol_t* symbol) {
        found.append(QByteArray(zbar_symbol_get_data(symbol),
                                qsizetype(zbar_symbol_get_data_length(symbol))));
    });
    return found;
}

QList<QRect> qrCodeAreas(const QImage& image)
{
    QList<QRect> areas;
    scan(image, [&areas](const zbar_symbol_t* symbol) {
        QPolygon corners;
        for (unsigned i = 0; i < zbar_symbol_get_loc_size(symbol); ++i)
            corners.append(
                QPoint(zbar_symbol_get_loc_x(symbol, i), zbar_symbol_get_loc_y(symbol, i)));
        areas.append(corners.boundingRect());
    });
    return areas;
}

QImage terminalToImage(const QStringList& lines)
{
    constexpr int cell = 4; // pixels per module
    QStringList drawn;
    for (const QString& line : lines) {
        // Only the colours the drawing sets itself count: the theme's are unknown.
        if (!line.startsWith(kTerminalCodeStart) || !line.endsWith(kTerminalCodeEnd))
            return {};
        drawn.append(line.sliced(QStringView(kTerminalCodeStart).size())
                         .chopped(QStringView(kTerminalCodeEnd).size()));
    }
    const int width = drawn.isEmpty() ? 0 : int(drawn.first().size());
    // A margin of a dark terminal background all round.
    QImage image((width + 8) * cell, (int(drawn.size()) * 2 + 8) * cell, QImage::Format_Grayscale8);
    image.fill(Qt::black);
    QPainter painter(&image);
    painter.fillRect(4 * cell, 4 * cell, width * cell, int(drawn.size()) * 2 * cell, Qt::white);
    for (int row = 0; row < drawn.size(); ++row) {
        for (int column = 0; column < drawn[row].size(); ++column) {
            const QChar c = drawn[row][column];
            const bool top = c == u'\u2588' || c == u'\u2580';
            const bool bottom = c == u'\u2588' || c == u'\u2584';
            const int x = (column + 4) * cell;
            const int y = (row * 2 + 4) * cell;
            if (top)
                painter.fillRect(x, y, cell, cell, Qt::black);
            if (bottom)
                painter.fillRect(x, y + cell, cell, cell, Qt::black);
        }
    }
    return image;
}
