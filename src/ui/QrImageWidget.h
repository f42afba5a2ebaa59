#pragma once

#include <QImage>
#include <QWidget>

// Draws a QR code as large as its space allows, up to `kLargestSide` logical
// pixels square, with every module a whole number of device pixels and at
// least 4, so that cameras read it at any scale factor. Scaling is unsmoothed.
class QrImageWidget : public QWidget
{
public:
    // A phone reads a code this large from across a desk.
    static constexpr int kLargestSide = 360;

    explicit QrImageWidget(QWidget* parent = nullptr);

    // `image` draws one module as `pixelsPerModule` pixels square.
    void setImage(const QImage& image, int pixelsPerModule);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // The device pixels each module takes at the current size.
    int devicePixelsPerModule() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int modules() const;

    QImage image_;
    int pixelsPerModule_ = 1;
};
