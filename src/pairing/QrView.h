#pragma once

#include "common/DiagnosticLog.h"
#include "common/ObservableFlag.h"
#include "pairing/AddressDiscovery.h"

#include <QImage>
#include <QWidget>

#include <optional>

class QLabel;

// Shows the pairing QR code of this computer's address, or a placeholder
// while there is none. Each time it comes on screen it looks the address up;
// every change of `regenerate` renders the code again from the stored address.
class QrView : public QWidget
{
    Q_OBJECT
public:
    QrView(const ObservableFlag& regenerate, DiagnosticLog& log,
           InterfaceSource interfaces = InterfaceSource::system(), QWidget* parent = nullptr);

    const std::optional<QImage>& qrCodeImage() const { return qrCodeImage_; }
    const std::optional<QString>& ipAddress() const { return ipAddress_; }
    // What the code holds for an address; the bare address unless set.
    void setContent(std::function<QString(const QString& address)> content);

signals:
    // After every rendering, also when it yielded no image.
    void qrCodeImageChanged();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void apply(const std::optional<QString>& address);
    void regenerateQRCode();
    void setQrCodeImage(std::optional<QImage> image);

    DiagnosticLog& log_;
    InterfaceSource interfaces_;
    std::function<QString(const QString&)> content_ = [](const QString& address) {
        return address;
    };
    std::optional<QImage> qrCodeImage_;
    std::optional<QString> ipAddress_;
    QLabel* placeholder_;
    QLabel* code_;
};
