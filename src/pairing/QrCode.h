#pragma once

#include <QByteArrayView>
#include <QImage>
#include <QStringList>
#include <QVector>

#include <optional>

// A QR symbol as dark and light modules, quiet zone included.
class QrSymbol
{
public:
    QrSymbol(int size, QVector<bool> dark) : size_(size), dark_(std::move(dark)) {}
    int size() const { return size_; }
    bool isDark(int x, int y) const;

private:
    int size_;
    QVector<bool> dark_;
};

// Exactly `payload`, in 8-bit mode at error correction level M, with the
// standard quiet zone of 4 modules.
std::optional<QrSymbol> encodeQrSymbol(QByteArrayView payload);

// The code for `text` at 10 pixels a module, with a device pixel ratio that
// makes it 200 by 200 logical pixels; none when it cannot be encoded.
std::optional<QImage> generateQRCode(const QString& text);
inline constexpr int kQrLogicalSize = 200;
inline constexpr int kQrPixelsPerModule = 10;

// The symbol in Unicode half blocks, two module rows a line: each line sets
// black text on a white background (fixed colours of the 256-colour palette,
// which terminal themes leave alone) and draws the dark modules, so that it
// reads on light and dark themes alike.
QStringList renderForTerminal(const QrSymbol& symbol);
inline constexpr char16_t kTerminalCodeStart[] = u"\x1b[38;5;16;48;5;231m";
inline constexpr char16_t kTerminalCodeEnd[] = u"\x1b[0m";
