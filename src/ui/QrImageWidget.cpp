#include "ui/QrImageWidget.h"

#include "pairing/QrCode.h"

#include <QPainter>

#include <cmath>

namespace {

constexpr int kMinimumDevicePixelsPerModule = 4;

} // namespace

QrImageWidget::QrImageWidget(QWidget* parent) : QWidget(parent)
{
    // As wide as the column, as high as the code when there is room: the text
    // under it follows it closely. It draws the largest square that fits.
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void QrImageWidget::setImage(const QImage& image, int pixelsPerModule)
{
    image_ = image;
    pixelsPerModule_ = std::max(1, pixelsPerModule);
    // Layouts squeeze below a hint, not below a minimum size.
    setMinimumSize(minimumSizeHint());
    updateGeometry();
    update();
}

int QrImageWidget::modules() const
{
    return image_.isNull() ? 0 : image_.width() / pixelsPerModule_;
}

QSize QrImageWidget::sizeHint() const
{
    return {kLargestSide, kLargestSide};
}

QSize QrImageWidget::minimumSizeHint() const
{
    // Rounded up, so that the smallest size still holds 4 device pixels a module.
    const int side =
        int(std::ceil(modules() * kMinimumDevicePixelsPerModule / devicePixelRatioF()));
    return {side, side};
}

int QrImageWidget::devicePixelsPerModule() const
{
    if (modules() == 0)
        return 0;
    const qreal ratio = devicePixelRatioF();
    const int available = int(std::floor(std::min({width(), height(), kLargestSide}) * ratio));
    return std::max(1, available / modules());
}

void QrImageWidget::paintEvent(QPaintEvent*)
{
    if (image_.isNull())
        return;
    const qreal ratio = devicePixelRatioF();
    const qreal side = modules() * devicePixelsPerModule() / ratio;
    const QRectF target((width() - side) / 2, (height() - side) / 2, side, side);
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    // Whole device pixels for the corner keep every module the same size.
    const QPointF corner(std::round(target.x() * ratio) / ratio,
                         std::round(target.y() * ratio) / ratio);
    painter.drawImage(QRectF(corner, target.size()), image_);
}
