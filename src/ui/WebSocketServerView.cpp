#include "ui/WebSocketServerView.h"

#include "common/AppSettings.h"
#include "pairing/AddressDiscovery.h"
#include "trust/DeviceTrust.h"
#include "ui/ApprovalBar.h"
#include "ui/DevicesPanel.h"
#include "ui/StatusColors.h"

#include <QButtonGroup>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QShowEvent>
#include <QSplitter>
#include <QStyle>
#include <QVBoxLayout>

namespace {

// Narrow enough that both columns fit a 1280 by 720 screen at 200 % (640
// logical pixels), wide enough for "Server ready on port 3330" and the
// controller page's address.
constexpr int kColumnMinimumWidth = 260;

enum class TextRole
{
    LargeTitle,
    Headline,
    Subheadline,
    Body,
};

QLabel* text(const QString& content, TextRole role, QWidget* parent)
{
    auto* label = new QLabel(content, parent);
    QFont font = label->font();
    switch (role) {
    case TextRole::LargeTitle:
        font.setPointSizeF(font.pointSizeF() * 2.0);
        font.setBold(true);
        break;
    case TextRole::Headline:
        font.setBold(true);
        break;
    case TextRole::Subheadline:
        font.setPointSizeF(font.pointSizeF() * 0.92);
        break;
    case TextRole::Body:
        break;
    }
    label->setFont(font);
    return label;
}

QFrame* divider(QFrame::Shape shape, QWidget* parent)
{
    auto* line = new QFrame(parent);
    line->setFrameShape(shape);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

// A wrapped text's height at the narrowest its column gets, so that the
// layout keeps room for every line however small the window is made.
void reserveWrappedHeight(QLabel* label)
{
    constexpr int kNarrowest = kColumnMinimumWidth - 60; // less margins and the icon
    label->setMinimumHeight(std::max(0, label->heightForWidth(kNarrowest)));
}

void setTextColor(QLabel* label, const QColor& color)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

// A headline over a value, as both status blocks show them.
QWidget* statusBlock(const QString& title, QLabel*& value, const char* valueName, QWidget* parent)
{
    auto* block = new QWidget(parent);
    auto* layout = new QVBoxLayout(block);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(text(title, TextRole::Headline, block));
    value = text({}, TextRole::Subheadline, block);
    value->setObjectName(QLatin1String(valueName));
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    value->setWordWrap(true);
    layout->addWidget(value);
    return block;
}

} // namespace

WebSocketServerView::WebSocketServerView(ServerAccess& server, EventLayer& events,
                                         DiagnosticLog& log, InterfaceSource interfaces,
                                         QWidget* parent)
    : QWidget(parent), server_(server), gameControllerManager_(events, log)
{
    build(log, std::move(interfaces));
}

void WebSocketServerView::build(DiagnosticLog& log, InterfaceSource interfaces)
{
    auto* root = new QVBoxLayout(this);
    // Tight margins: at 200 % a 1280 by 720 screen leaves 360 pixels of height.
    root->setContentsMargins(8, 4, 8, 8);
    root->setSpacing(4);
    root->addWidget(text(tr("Kestrelio Server"), TextRole::LargeTitle, this), 0, Qt::AlignHCenter);
    root->addWidget(divider(QFrame::HLine, this));
    root->addWidget(new ApprovalBar(server_, this));

    splitter_ = new QSplitter(Qt::Horizontal, this);
    // QSplitter would let a drag collapse a column below its minimum.
    splitter_->setChildrenCollapsible(false);
    splitter_->addWidget(buildLeftColumn());
    splitter_->addWidget(divider(QFrame::VLine, splitter_));
    splitter_->addWidget(buildRightColumn(log, std::move(interfaces)));
    splitter_->setStretchFactor(0, 1);
    splitter_->setStretchFactor(2, 1);
    root->addWidget(splitter_, 1);

    connect(refreshButton_, &QPushButton::clicked, this, [this] {
        server_.restartServer();
        triggerRegeneration_.toggle();
    });
    connect(&server_, &ServerAccess::statusesChanged, this, &WebSocketServerView::refreshStatuses);
    connect(&server_, &ServerAccess::messagesChanged, this,
            &WebSocketServerView::scheduleMessagesRefresh);
    refreshStatuses();
    refreshMessages();
}

QWidget* WebSocketServerView::buildLeftColumn()
{
    auto* column = new QWidget(splitter_);
    column->setMinimumWidth(kColumnMinimumWidth);
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(6);
    // Refresh sits with the server it restarts, apart from the choice of code.
    auto* serverRow = new QHBoxLayout;
    serverRow->addWidget(statusBlock(tr("Server Status"), serverStatus_, "serverStatus", column),
                         1);
    refreshButton_ = new QPushButton(tr("Refresh Server"), column);
    refreshButton_->setObjectName(QStringLiteral("refreshServer"));
    refreshButton_->setToolTip(tr("Restarts the server and makes a new code: the code shown now "
                                  "stops pairing phones."));
    serverRow->addWidget(refreshButton_, 0, Qt::AlignTop);
    layout->addLayout(serverRow);
    layout->addWidget(
        statusBlock(tr("Connection Status"), connectionStatus_, "connectionStatus", column));
    layout->addWidget(buildGamePads(column));
    layout->addWidget(new DevicesPanel(server_, column));
    layout->addWidget(divider(QFrame::HLine, column));

    auto* messageBlock = new QWidget(column);
    auto* messageLayout = new QVBoxLayout(messageBlock);
    messageLayout->setContentsMargins(0, 0, 0, 0);
    messageLayout->addWidget(text(tr("Received Messages"), TextRole::Headline, messageBlock));
    messages_ = new QListWidget(messageBlock);
    messages_->setObjectName(QStringLiteral("receivedMessages"));
    messages_->setSelectionMode(QAbstractItemView::NoSelection);
    messages_->setFocusPolicy(Qt::NoFocus);
    // The list gives up its room first; three rows keep it recognisable.
    messages_->setMinimumHeight(messages_->fontMetrics().height() * 3 +
                                2 * messages_->frameWidth());
    messages_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    messageLayout->addWidget(messages_, 1);
    layout->addWidget(messageBlock, 1);
    return column;
}

QWidget* WebSocketServerView::buildRightColumn(DiagnosticLog& log, InterfaceSource interfaces)
{
    auto* column = new QWidget(splitter_);
    column->setMinimumWidth(kColumnMinimumWidth);
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(2);

    keyPressTitle_ = text(tr("Key Press Simulation"), TextRole::Headline, column);
    keyPressBlock_ = new QWidget(column);
    auto* keyPressLayout = new QHBoxLayout(keyPressBlock_);
    keyPressLayout->setContentsMargins(0, 0, 0, 0);
    keyPressIcon_ = new QLabel(keyPressBlock_);
    keyPressIcon_->setObjectName(QStringLiteral("keyPressIcon"));
    const int iconSize = style()->pixelMetric(QStyle::PM_SmallIconSize);
    keyPressIcon_->setPixmap(
        style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(iconSize, iconSize));
    keyPressIcon_->setAlignment(Qt::AlignTop);
    keyPressText_ = text({}, TextRole::Body, keyPressBlock_);
    keyPressText_->setObjectName(QStringLiteral("keyPressSimulation"));
    keyPressText_->setWordWrap(true);
    keyPressText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    keyPressLayout->addWidget(keyPressIcon_, 0, Qt::AlignTop);
    keyPressLayout->addWidget(keyPressText_, 1);
    layout->addWidget(keyPressTitle_, 0, Qt::AlignHCenter);
    layout->addWidget(keyPressBlock_);
    layout->addWidget(divider(QFrame::HLine, column));

    auto* actions = new QWidget(column);
    auto* actionLayout = new QVBoxLayout(actions);
    actionLayout->setContentsMargins(0, 0, 0, 0);
    // Tight: at 200 % a 1280 by 720 screen leaves 360 pixels of height.
    actionLayout->setSpacing(2);
    scanInstruction_ = text({}, TextRole::Headline, actions);
    scanInstruction_->setObjectName(QStringLiteral("scanInstruction"));
    qrView_ = new QrView(triggerRegeneration_, log, std::move(interfaces), actions);
    // For comparing with what the phone shows before it accepts the certificate.
    fingerprint_ = text({}, TextRole::Subheadline, actions);
    fingerprint_->setObjectName(QStringLiteral("certificateFingerprint"));
    fingerprint_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    fingerprint_->setAlignment(Qt::AlignHCenter);
    fingerprint_->setWordWrap(true);
    actionLayout->addWidget(buildCodeSwitch(actions), 0, Qt::AlignHCenter);
    actionLayout->addWidget(scanInstruction_, 0, Qt::AlignHCenter);
    actionLayout->addWidget(qrView_);
    // Typed by hand where no camera reads the code.
    codeText_ = text({}, TextRole::Subheadline, actions);
    codeText_->setObjectName(QStringLiteral("codeText"));
    codeText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    codeText_->setAlignment(Qt::AlignHCenter);
    codeText_->setWordWrap(true);
    codeText_->hide();
    actionLayout->addWidget(codeText_);
    actionLayout->addWidget(fingerprint_);
    connect(&qrView_->pairingAddress(), &PairingAddress::changed, this, [this] {
        if (const std::optional<QString> address = qrView_->ipAddress())
            server_.coverPairingAddress(*address);
    });
    // The certificate may be ready before this window listens for it.
    connect(&server_, &ServerAccess::certificateChanged, this,
            &WebSocketServerView::showCertificate);
    showCertificate();
    connect(qrView_, &QrView::qrCodeImageChanged, this, [this] {
        const std::optional<QString>& shown = qrView_->codeText();
        codeText_->setText(shown.value_or(QString()));
        reserveWrappedHeight(codeText_);
        codeText_->setVisible(shown.has_value());
        scanInstruction_->setVisible(shown.has_value());
    });
    layout->addWidget(actions);
    layout->addStretch(1);
    column->setMinimumWidth(std::max(kColumnMinimumWidth, column->minimumSizeHint().width()));
    return column;
}

QWidget* WebSocketServerView::buildGamePads(QWidget* parent)
{
    auto* block = new QWidget(parent);
    auto* layout = new QVBoxLayout(block);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    auto* count = text({}, TextRole::Subheadline, block);
    count->setObjectName(QStringLiteral("gamePads"));
    layout->addWidget(count);
    // A phone refused a pad points here: the fix is on this computer.
    auto* help = text(tr("Game pads are off: Kestrelio may not use /dev/uinput. To turn them on:"
                         "<br>in a source build's folder, run "
                         "<code>./scripts/install-udev-rule.sh</code> and start Kestrelio again;"
                         "<br>with the package, whose udev rule gives access, remove a mask you "
                         "made (<code>sudo rm /etc/udev/rules.d/70-kestrelio-uinput.rules</code>)"
                         ", then log out and in again."),
                      TextRole::Subheadline, block);
    help->setObjectName(QStringLiteral("gamePadsHelp"));
    help->setTextFormat(Qt::RichText);
    help->setWordWrap(true);
    help->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(help);
    const auto show = [this, count, help] {
        const ServerAccess::GamePads pads = server_.gamePads();
        count->setText(tr("Game pads: %1").arg(pads.count));
        help->setVisible(pads.off);
    };
    connect(&server_, &ServerAccess::gamePadsChanged, block, show);
    show();
    return block;
}

QWidget* WebSocketServerView::buildCodeSwitch(QWidget* parent)
{
    // A phone camera opens the page from the browser code; the app reads
    // the bare address.
    static const QString kKey = QStringLiteral("pairing/code");
    auto* box = new QWidget(parent);
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* group = new QButtonGroup(box);
    for (const auto& [name, label] :
         {std::pair{"browser", tr("Phone browser")},
          std::pair{"motion", tr("Phone browser (motion)")}, std::pair{"app", tr("App")}}) {
        auto* button = new QPushButton(label, box);
        button->setObjectName(QStringLiteral("code-") + QLatin1String(name));
        button->setCheckable(true);
        group->addButton(button);
        layout->addWidget(button);
    }
    const auto apply = [this, group] {
        const QString mode = group->checkedButton()->objectName().sliced(5);
        AppSettings().setValue(kKey, mode);
        const bool app = mode == QLatin1String("app");
        const bool motion = mode == QLatin1String("motion");
        scanInstruction_->setText(app ? tr("Scan with the controller app")
                                      : tr("Scan with your phone's camera"));
        fingerprint_->setVisible(motion);
        if (app)
            qrView_->setContent([](const QString& address) { return address; });
        else
            qrView_->setContent([this, motion](const QString& address) {
                return pairingPageUrl(motion ? secureControllerPageAddress(address)
                                             : controllerPageAddress(address),
                                      server_.pairingSecret());
            });
    };
    const QString mode = AppSettings().value(kKey).toString();
    auto* chosen = box->findChild<QPushButton*>(QStringLiteral("code-") + mode);
    (chosen ? chosen : box->findChild<QPushButton*>(QStringLiteral("code-browser")))
        ->setChecked(true);
    apply();
    connect(group, &QButtonGroup::buttonClicked, this, apply);
    return box;
}

void WebSocketServerView::showCertificate()
{
    const QString fingerprint = server_.certificateFingerprint();
    fingerprint_->setText(fingerprint.isEmpty() ? QString()
                                                : tr("Certificate SHA-256: %1").arg(fingerprint));
    reserveWrappedHeight(fingerprint_);
}

void WebSocketServerView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        server_.startServer();
}

void WebSocketServerView::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    // A switch between light and dark themes needs colours readable on the new background.
    if (event->type() == QEvent::PaletteChange)
        refreshStatuses();
}

void WebSocketServerView::setKeyPressProblem(bool problem)
{
    keyPressProblem_ = problem;
    refreshStatuses();
}

void WebSocketServerView::refreshStatuses()
{
    const auto [server, connection, keyPress] = server_.statuses();
    const QPalette& colours = palette();
    serverStatus_->setText(server);
    reserveWrappedHeight(serverStatus_);
    setTextColor(serverStatus_, statusColor(serverStatusTone(server), colours));
    connectionStatus_->setText(connection);
    setTextColor(connectionStatus_, statusColor(connectionStatusTone(connection), colours));

    keyPressText_->setText(keyPress.value_or(QString()));
    reserveWrappedHeight(keyPressText_);
    setTextColor(keyPressText_, keyPressProblem_ ? statusColor(StatusTone::Warning, colours)
                                                 : colours.color(QPalette::WindowText));
    keyPressIcon_->setVisible(keyPressProblem_);
    keyPressTitle_->setVisible(keyPress.has_value());
    keyPressBlock_->setVisible(keyPress.has_value());
    qrView_->setServerAvailable(!isServerFailure(server));
}

void WebSocketServerView::scheduleMessagesRefresh()
{
    // A flood of key messages changes the list thousands of times a second;
    // the widget catches up once per event-loop turn.
    if (messagesRefreshPending_)
        return;
    messagesRefreshPending_ = true;
    QMetaObject::invokeMethod(this, &WebSocketServerView::refreshMessages, Qt::QueuedConnection);
}

void WebSocketServerView::refreshMessages()
{
    messagesRefreshPending_ = false;
    const QStringList received = server_.newestMessages(kMessagesShown);
    while (messages_->count() > received.size())
        delete messages_->takeItem(messages_->count() - 1);
    while (messages_->count() < received.size())
        messages_->addItem(QString());
    for (int row = 0; row < received.size(); ++row)
        messages_->item(row)->setText(received[row]);
    emit messagesRefreshed();
}
