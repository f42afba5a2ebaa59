#include "ui/QrView.h"

#include "pairing/QrCode.h"
#include "ui/QrImageWidget.h"

#include <QComboBox>
#include <QLabel>
#include <QShowEvent>
#include <QVBoxLayout>

QrView::QrView(const ObservableFlag& regenerate, DiagnosticLog& log, InterfaceSource interfaces,
               QWidget* parent)
    : QWidget(parent), log_(log), pairing_(std::move(interfaces)), chooser_(new QComboBox(this)),
      placeholder_(new QLabel(QStringLiteral("Generating QR Code..."), this)),
      code_(new QrImageWidget(this))
{
    chooser_->setObjectName(QStringLiteral("addressChooser"));
    chooser_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    chooser_->hide();
    placeholder_->setObjectName(QStringLiteral("codePlaceholder"));
    placeholder_->setWordWrap(true);
    placeholder_->setAlignment(Qt::AlignCenter);
    code_->setObjectName(QStringLiteral("qrCode"));
    code_->hide();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(chooser_, 0, Qt::AlignHCenter);
    layout->addWidget(placeholder_);
    layout->addWidget(code_);

    connect(&regenerate, &ObservableFlag::changed, this, &QrView::regenerate);
    connect(&pairing_, &PairingAddress::changed, this, [this] {
        if (!pairing_.address())
            log_.writeLine(QStringLiteral("Failed to fetch IP Address"));
        refreshChooser();
        render();
    });
    connect(&pairing_, &PairingAddress::lookedUp, this, &QrView::reportLookup);
    connect(chooser_, &QComboBox::activated, this,
            [this](int index) { pairing_.choose(chooser_->itemData(index).toByteArray()); });
}

void QrView::setServerAvailable(bool available)
{
    if (available == serverAvailable_)
        return;
    serverAvailable_ = available;
    render();
}

void QrView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!everShown_ && !event->spontaneous()) {
        everShown_ = true;
        pairing_.lookUpSoon();
        if (const QString problem = pairing_.watchProblem(); !problem.isEmpty())
            log_.writeLine(QStringLiteral("Network changes are not followed (") + problem +
                           QStringLiteral("); use \"Refresh Server\" after a change."));
    }
}

void QrView::regenerate()
{
    refreshRequested_ = true;
    pairing_.lookUpSoon();
}

void QrView::reportLookup()
{
    if (refreshRequested_ && !pairing_.address())
        log_.writeLine(QStringLiteral("No IP address available to regenerate QR code."));
    if (refreshRequested_)
        render();
    refreshRequested_ = false;
}

void QrView::setContent(std::function<QString(const QString& address)> content)
{
    content_ = std::move(content);
    render();
}

void QrView::refreshChooser()
{
    const QList<PairingCandidate>& candidates = pairing_.candidates();
    const QSignalBlocker quiet(chooser_);
    chooser_->clear();
    for (const PairingCandidate& candidate : candidates)
        chooser_->addItem(candidate.address + QStringLiteral(" (") +
                              QString::fromUtf8(candidate.interfaceName) + u')',
                          candidate.interfaceName);
    chooser_->setCurrentIndex(pairing_.chosenIndex());
}

void QrView::render()
{
    const std::optional<QString> address = pairing_.address();
    qrCodeImage_.reset();
    codeText_.reset();
    if (serverAvailable_ && address) {
        const QString text = content_(*address);
        qrCodeImage_ = generateQRCode(text);
        if (qrCodeImage_)
            codeText_ = text;
    }
    if (qrCodeImage_)
        code_->setImage(*qrCodeImage_, kQrPixelsPerModule);
    code_->setVisible(qrCodeImage_.has_value());
    chooser_->setVisible(serverAvailable_ && pairing_.candidates().size() > 1);

    if (!serverAvailable_)
        placeholder_->setText(QStringLiteral("No code while the server is not running. Use "
                                             "\"Refresh Server\" to try again."));
    else if (!pairing_.hasLookedUp())
        placeholder_->setText(QStringLiteral("Generating QR Code..."));
    else if (!address)
        placeholder_->setText(
            QStringLiteral("No network: connect this computer to the phone's Wi-Fi"));
    placeholder_->setVisible(!qrCodeImage_);
    emit qrCodeImageChanged();
}
