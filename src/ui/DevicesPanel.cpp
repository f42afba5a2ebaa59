#include "ui/DevicesPanel.h"

#include "common/AppSettings.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace {

const QString kAskKey = QStringLiteral("trust/askBeforeNewDevice");

QString describe(const OpenClient& client)
{
    const QString kind = client.browserPage ? QObject::tr("browser page") : QObject::tr("app");
    const QString trust = client.held      ? QObject::tr("waiting for approval")
                          : client.trusted ? QObject::tr("trusted")
                                           : QObject::tr("not trusted");
    return client.address + QStringLiteral(" · ") + kind + QStringLiteral(" · ") + trust;
}

} // namespace

DevicesPanel::DevicesPanel(ClientRoster& roster, DeviceTrust& trust, QWidget* parent)
    : QWidget(parent), roster_(roster), trust_(trust)
{
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(2);
    auto* title = new QLabel(tr("Devices"), this);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    layout->addWidget(title);

    ask_ = new QCheckBox(tr("Ask before a new device types"), this);
    ask_->setObjectName(QStringLiteral("askBeforeNewDevice"));
    ask_->setChecked(AppSettings().value(kAskKey, true).toBool());
    layout->addWidget(ask_);
    const auto applyAsk = [this] {
        trust_.setStrangerPolicy(ask_->isChecked() ? StrangerPolicy::Ask : StrangerPolicy::Serve);
    };
    connect(ask_, &QCheckBox::toggled, this, [applyAsk](bool checked) {
        AppSettings().setValue(kAskKey, checked);
        applyAsk();
    });
    applyAsk();

    rows_ = new QWidget(this);
    rowLayout_ = new QVBoxLayout(rows_);
    rowLayout_->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(rows_);

    connect(&roster_, &ClientRoster::changed, this, &DevicesPanel::rebuild);
    connect(&trust_.store(), &TrustStore::changed, this, &DevicesPanel::rebuild);
    rebuild();
}

void DevicesPanel::rebuild()
{
    while (QLayoutItem* item = rowLayout_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const QList<OpenClient> clients = roster_.clients();
    if (clients.isEmpty())
        rowLayout_->addWidget(new QLabel(tr("No device connected"), rows_));
    for (const OpenClient& client : clients)
        addRow(describe(client), tr("Disconnect"), QStringLiteral("disconnect"),
               [this, id = client.id] { roster_.disconnect(id); });
    for (const TrustedDevice& device : trust_.store().devices())
        addRow(tr("Paired: %1, last seen %2")
                   .arg(device.name,
                        QLocale().toString(device.lastSeen.toLocalTime(), QLocale::ShortFormat)),
               tr("Forget"), QStringLiteral("forgetDevice"),
               [this, hash = device.tokenHash] { trust_.store().forgetDevice(hash); });
    for (const QString& address : trust_.store().addresses())
        addRow(tr("Trusted app address: %1").arg(address), tr("Forget"),
               QStringLiteral("forgetAddress"),
               [this, address] { trust_.store().forgetAddress(address); });
}

void DevicesPanel::addRow(const QString& text, const QString& buttonText, const QString& buttonName,
                          std::function<void()> action)
{
    auto* row = new QWidget(rows_);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel(text, row);
    label->setWordWrap(true);
    layout->addWidget(label, 1);
    auto* button = new QPushButton(buttonText, row);
    button->setObjectName(buttonName);
    // The row goes away under the click; act once the click is over.
    connect(
        button, &QPushButton::clicked, this, [action = std::move(action)] { action(); },
        Qt::QueuedConnection);
    layout->addWidget(button);
    rowLayout_->addWidget(row);
}

ApprovalBar::ApprovalBar(ClientRoster& roster, QWidget* parent) : QWidget(parent), roster_(roster)
{
    setObjectName(QStringLiteral("approvalBar"));
    auto* layout = new QHBoxLayout(this);
    question_ = new QLabel(this);
    question_->setObjectName(QStringLiteral("approvalQuestion"));
    QFont bold = question_->font();
    bold.setBold(true);
    question_->setFont(bold);
    layout->addWidget(question_, 1);
    auto* allow = new QPushButton(tr("Allow"), this);
    allow->setObjectName(QStringLiteral("allow"));
    auto* deny = new QPushButton(tr("Deny"), this);
    deny->setObjectName(QStringLiteral("deny"));
    layout->addWidget(allow);
    layout->addWidget(deny);
    connect(allow, &QPushButton::clicked, this, [this] { roster_.allow(shownId_); });
    connect(deny, &QPushButton::clicked, this, [this] { roster_.deny(shownId_); });
    connect(&roster_, &ClientRoster::changed, this, &ApprovalBar::refresh);
    refresh();
}

void ApprovalBar::refresh()
{
    const OpenClient* held = roster_.firstHeld();
    shownId_ = held ? held->id : 0;
    if (held)
        question_->setText(tr("%1 wants to control this computer").arg(held->address));
    setVisible(held != nullptr);
}
