#include "pairing/QrView.h"

#include "pairing/QrCode.h"

#include <QLabel>
#include <QPixmap>
#include <QShowEvent>
#include <QVBoxLayout>

QrView::QrView(const ObservableFlag& regenerate, DiagnosticLog& log, InterfaceSource interfaces,
               QWidget* parent)
    : QWidget(parent), log_(log), interfaces_(std::move(interfaces)),
      placeholder_(new QLabel(QStringLiteral("Generating QR Code..."), this)),
      code_(new QLabel(this))
{
    // The pixmap carries its device pixel ratio, so it is drawn at 200 by 200
    // logical pixels without smoothing: module edges stay sharp.
    code_->setFixedSize(kQrLogicalSize, kQrLogicalSize);
    code_->setContentsMargins(0, 0, 0, 0);
    code_->hide();

    auto* layout = new QVBoxLayout(this);
    layout->setAlignment(Qt::AlignCenter);
    layout->addWidget(placeholder_, 0, Qt::AlignCenter);
    layout->addWidget(code_, 0, Qt::AlignCenter);

    connect(&regenerate, &ObservableFlag::changed, this, &QrView::regenerateQRCode);
}

void QrView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        fetchIPAddress(
            this, [this](const std::optional<QString>& address) { apply(address); }, interfaces_);
}

void QrView::apply(const std::optional<QString>& address)
{
    if (!address) {
        log_.writeLine(QStringLiteral("Failed to fetch IP Address"));
        return;
    }
    ipAddress_ = address;
    setQrCodeImage(generateQRCode(content_(*address)));
}

void QrView::regenerateQRCode()
{
    if (!ipAddress_) {
        log_.writeLine(QStringLiteral("No IP address available to regenerate QR code."));
        return;
    }
    setQrCodeImage(generateQRCode(content_(*ipAddress_)));
}

void QrView::setContent(std::function<QString(const QString& address)> content)
{
    content_ = std::move(content);
    if (ipAddress_)
        setQrCodeImage(generateQRCode(content_(*ipAddress_)));
}

void QrView::setQrCodeImage(std::optional<QImage> image)
{
    qrCodeImage_ = std::move(image);
    if (qrCodeImage_)
        code_->setPixmap(QPixmap::fromImage(*qrCodeImage_));
    code_->setVisible(qrCodeImage_.has_value());
    placeholder_->setVisible(!qrCodeImage_);
    emit qrCodeImageChanged();
}
