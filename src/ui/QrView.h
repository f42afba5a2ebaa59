#pragma once

#include "common/DiagnosticLog.h"
#include "common/ObservableFlag.h"
#include "pairing/PairingAddress.h"

#include <QImage>
#include <QWidget>

#include <functional>
#include <optional>

class QComboBox;
class QLabel;
class QrImageWidget;

// Shows the pairing QR code of this computer's address, or a text saying why
// there is none. It looks the address up when it first comes on screen, on
// every change of `regenerate` and whenever the network changes. With several
// addresses a chooser above the code picks one.
class QrView : public QWidget
{
    Q_OBJECT
public:
    QrView(const ObservableFlag& regenerate, DiagnosticLog& log,
           InterfaceSource interfaces = InterfaceSource::system(), QWidget* parent = nullptr);

    const std::optional<QImage>& qrCodeImage() const { return qrCodeImage_; }
    // Exactly what the code shown holds; none while no code is shown.
    const std::optional<QString>& codeText() const { return codeText_; }
    std::optional<QString> ipAddress() const { return pairing_.address(); }
    PairingAddress& pairingAddress() { return pairing_; }

    // While the server is down there is nothing to pair with: no code is offered.
    void setServerAvailable(bool available);
    // What the code holds for an address; the address as apps read it unless set.
    void setContent(std::function<QString(const QString& address)> content);

signals:
    // After every rendering, also when it yielded no image.
    void qrCodeImageChanged();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void regenerate();
    void reportLookup();
    void render();
    void refreshChooser();

    DiagnosticLog& log_;
    PairingAddress pairing_;
    std::function<QString(const QString&)> content_ = pairingCodeContent;
    std::optional<QImage> qrCodeImage_;
    std::optional<QString> codeText_;
    bool serverAvailable_ = true;
    bool refreshRequested_ = false;
    bool everShown_ = false;
    QComboBox* chooser_;
    QLabel* placeholder_;
    QrImageWidget* code_;
};
