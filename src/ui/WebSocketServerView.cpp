#include "ui/WebSocketServerView.h"

#include "common/AppSettings.h"
#include "ui/DevicesPanel.h"
#include "ui/StatusColors.h"

#include <QButtonGroup>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QShowEvent>
#include <QSplitter>
#include <QVBoxLayout>

namespace {

constexpr int kColumnMinimumWidth = 300;
constexpr int kSplitMinimumHeight = 400;

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
    layout->setSpacing(2);
    layout->addWidget(text(title, TextRole::Headline, block));
    value = text({}, TextRole::Subheadline, block);
    value->setObjectName(QLatin1String(valueName));
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(value);
    return block;
}

} // namespace

WebSocketServerView::WebSocketServerView(EventLayer& events, DiagnosticLog& log,
                                         ServerSettings settings, InterfaceSource interfaces,
                                         QWidget* parent)
    : QWidget(parent), viewModel_(events, log, std::move(settings)),
      gameControllerManager_(events, log)
{
    auto* root = new QVBoxLayout(this);
    root->addWidget(text(tr("Kestrelio Server"), TextRole::LargeTitle, this), 0, Qt::AlignHCenter);
    root->addWidget(divider(QFrame::HLine, this));
    root->addWidget(new ApprovalBar(viewModel_.roster(), this));

    splitter_ = new QSplitter(Qt::Horizontal, this);
    splitter_->setMinimumHeight(kSplitMinimumHeight);
    // QSplitter would let a drag collapse a column below its minimum.
    splitter_->setChildrenCollapsible(false);
    splitter_->addWidget(buildLeftColumn());
    splitter_->addWidget(divider(QFrame::VLine, splitter_));
    splitter_->addWidget(buildRightColumn(log, std::move(interfaces)));
    splitter_->setStretchFactor(0, 1);
    splitter_->setStretchFactor(2, 1);
    root->addWidget(splitter_, 1);
    root->addStretch(0);

    connect(refreshButton_, &QPushButton::clicked, this, [this] {
        viewModel_.restartServer();
        triggerRegeneration_.toggle();
    });
    for (const auto signal :
         {&WebSocketViewModel::serverStatusChanged, &WebSocketViewModel::connectionStatusChanged,
          &WebSocketViewModel::keyPressSimulationChanged})
        connect(&viewModel_, signal, this, &WebSocketServerView::refreshStatuses);
    connect(&viewModel_, &WebSocketViewModel::receivedMessagesChanged, this,
            &WebSocketServerView::scheduleMessagesRefresh);
    refreshStatuses();
    refreshMessages();
}

QWidget* WebSocketServerView::buildLeftColumn()
{
    auto* column = new QWidget(splitter_);
    column->setMinimumWidth(kColumnMinimumWidth);
    auto* layout = new QVBoxLayout(column);
    layout->setSpacing(2);
    layout->addWidget(statusBlock(tr("Server Status"), serverStatus_, "serverStatus", column));
    layout->addWidget(
        statusBlock(tr("Connection Status"), connectionStatus_, "connectionStatus", column));
    layout->addWidget(new DevicesPanel(viewModel_.roster(), viewModel_.trust(), column));
    layout->addWidget(divider(QFrame::HLine, column));

    auto* messageBlock = new QWidget(column);
    auto* messageLayout = new QVBoxLayout(messageBlock);
    messageLayout->addWidget(text(tr("Received Messages"), TextRole::Headline, messageBlock));
    messages_ = new QListWidget(messageBlock);
    messages_->setObjectName(QStringLiteral("receivedMessages"));
    messages_->setSelectionMode(QAbstractItemView::NoSelection);
    messages_->setFocusPolicy(Qt::NoFocus);
    messageLayout->addWidget(messages_);
    layout->addWidget(messageBlock, 1);
    return column;
}

QWidget* WebSocketServerView::buildRightColumn(DiagnosticLog& log, InterfaceSource interfaces)
{
    auto* column = new QWidget(splitter_);
    column->setMinimumWidth(kColumnMinimumWidth);
    auto* layout = new QVBoxLayout(column);
    layout->setSpacing(16);
    layout->setAlignment(Qt::AlignHCenter);

    keyPressTitle_ = text(tr("Key Press Simulation"), TextRole::Headline, column);
    keyPressText_ = text({}, TextRole::Body, column);
    keyPressText_->setObjectName(QStringLiteral("keyPressSimulation"));
    keyPressText_->setWordWrap(true);
    keyPressText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    setTextColor(keyPressText_, kNoticeColor);
    layout->addWidget(keyPressTitle_, 0, Qt::AlignHCenter);
    layout->addWidget(keyPressText_);
    layout->addWidget(divider(QFrame::HLine, column));

    auto* actions = new QWidget(column);
    auto* actionLayout = new QVBoxLayout(actions);
    refreshButton_ = new QPushButton(tr("Refresh Server"), actions);
    refreshButton_->setObjectName(QStringLiteral("refreshServer"));
    actionLayout->addWidget(refreshButton_, 0, Qt::AlignHCenter);
    qrView_ = new QrView(triggerRegeneration_, log, std::move(interfaces), actions);
    actionLayout->addWidget(buildCodeSwitch(actions), 0, Qt::AlignHCenter);
    actionLayout->addWidget(qrView_, 0, Qt::AlignHCenter);
    // A phone without the app plays in its browser, from the page at this address.
    pageAddress_ = text({}, TextRole::Body, actions);
    pageAddress_->setObjectName(QStringLiteral("controllerPage"));
    pageAddress_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    pageAddress_->hide();
    actionLayout->addWidget(pageAddress_, 0, Qt::AlignHCenter);
    connect(qrView_, &QrView::qrCodeImageChanged, this, [this] {
        if (const std::optional<QString> address = qrView_->ipAddress()) {
            pageAddress_->setText(controllerPageAddress(*address));
            pageAddress_->show();
        }
    });
    layout->addWidget(actions);
    layout->addStretch(1);
    return column;
}

QWidget* WebSocketServerView::buildCodeSwitch(QWidget* parent)
{
    // A phone camera opens the page from the browser code; the app reads
    // the bare address.
    static const QString kKey = QStringLiteral("pairing/code");
    auto* box = new QWidget(parent);
    auto* layout = new QHBoxLayout(box);
    layout->setSpacing(0);
    auto* group = new QButtonGroup(box);
    for (const auto& [name, label] :
         {std::pair{"browser", tr("Phone browser")}, std::pair{"app", tr("App")}}) {
        auto* button = new QPushButton(label, box);
        button->setObjectName(QStringLiteral("code-") + QLatin1String(name));
        button->setCheckable(true);
        group->addButton(button);
        layout->addWidget(button);
    }
    const auto apply = [this, box] {
        const bool app = box->findChild<QPushButton*>(QStringLiteral("code-app"))->isChecked();
        AppSettings().setValue(kKey, app ? QStringLiteral("app") : QStringLiteral("browser"));
        if (app)
            qrView_->setContent([](const QString& address) { return address; });
        else
            qrView_->setContent([this](const QString& address) {
                return pairingPageUrl(controllerPageAddress(address),
                                      viewModel_.trust().pairingSecret());
            });
    };
    const bool app = AppSettings().value(kKey).toString() == QLatin1String("app");
    box->findChild<QPushButton*>(app ? QStringLiteral("code-app") : QStringLiteral("code-browser"))
        ->setChecked(true);
    apply();
    connect(group, &QButtonGroup::buttonClicked, this, apply);
    return box;
}

void WebSocketServerView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        viewModel_.startServer();
}

void WebSocketServerView::refreshStatuses()
{
    serverStatus_->setText(viewModel_.serverStatus());
    setTextColor(serverStatus_, serverStatusColor(viewModel_.serverStatus()));
    connectionStatus_->setText(viewModel_.connectionStatus());
    setTextColor(connectionStatus_, connectionStatusColor(viewModel_.connectionStatus()));

    const std::optional<QString> keyPress = viewModel_.keyPressSimulation();
    keyPressText_->setText(keyPress.value_or(QString()));
    keyPressTitle_->setVisible(keyPress.has_value());
    keyPressText_->setVisible(keyPress.has_value());
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
    const QStringList received = viewModel_.receivedMessages().mid(0, kMessagesShown);
    while (messages_->count() > received.size())
        delete messages_->takeItem(messages_->count() - 1);
    while (messages_->count() < received.size())
        messages_->addItem(QString());
    for (int row = 0; row < received.size(); ++row)
        messages_->item(row)->setText(received[row]);
    emit messagesRefreshed();
}
