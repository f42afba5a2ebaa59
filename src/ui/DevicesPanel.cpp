#include "ui/DevicesPanel.h"

#include "common/AppSettings.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include <optional>
#include <tuple>

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

DevicesPanel::DevicesPanel(ClientRoster& roster, DeviceTrust& trust, ServerAccess server,
                           QWidget* parent)
    : QWidget(parent), roster_(roster), trust_(trust), server_(std::move(server))
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
        const StrangerPolicy policy =
            ask_->isChecked() ? StrangerPolicy::Ask : StrangerPolicy::Serve;
        server_([this, policy] { trust_.setStrangerPolicy(policy); });
    };
    connect(ask_, &QCheckBox::toggled, this, [applyAsk](bool checked) {
        AppSettings().setValue(kAskKey, checked);
        applyAsk();
    });
    applyAsk();

    auto* saveProblem = new QLabel(this);
    saveProblem->setObjectName(QStringLiteral("trustSaveProblem"));
    saveProblem->setWordWrap(true);
    layout->addWidget(saveProblem);
    const auto showSaveProblem = [this, saveProblem] {
        saveProblem->setText(server_([this] { return trust_.store().saveProblem(); }));
        saveProblem->setVisible(!saveProblem->text().isEmpty());
    };
    connect(&trust_.store(), &TrustStore::changed, saveProblem, showSaveProblem);
    showSaveProblem();

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
    const auto [clients, devices, addresses] = server_([this] {
        return std::tuple{roster_.clients(), trust_.store().devices(), trust_.store().addresses()};
    });
    if (clients.isEmpty())
        rowLayout_->addWidget(new QLabel(tr("No device connected"), rows_));
    for (const OpenClient& client : clients)
        addRow(describe(client), tr("Disconnect"), QStringLiteral("disconnect"),
               [this, id = client.id] { server_([this, id] { roster_.disconnect(id); }); });
    for (const TrustedDevice& device : devices)
        addRow(tr("Paired: %1, last seen %2")
                   .arg(device.name,
                        QLocale().toString(device.lastSeen.toLocalTime(), QLocale::ShortFormat)),
               tr("Forget"), QStringLiteral("forgetDevice"), [this, hash = device.tokenHash] {
                   server_([this, hash] { trust_.store().forgetDevice(hash); });
               });
    for (const QString& address : addresses)
        addRow(tr("Trusted app address: %1").arg(address), tr("Forget"),
               QStringLiteral("forgetAddress"), [this, address] {
                   server_([this, address] { trust_.store().forgetAddress(address); });
               });
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

ApprovalBar::ApprovalBar(ClientRoster& roster, ServerAccess server, QWidget* parent)
    : QWidget(parent), roster_(roster), server_(std::move(server))
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
    connect(allow, &QPushButton::clicked, this,
            [this] { server_([this, id = shownId_] { roster_.allow(id); }); });
    connect(deny, &QPushButton::clicked, this,
            [this] { server_([this, id = shownId_] { roster_.deny(id); }); });
    connect(&roster_, &ClientRoster::changed, this, &ApprovalBar::refresh);
    refresh();
}

void ApprovalBar::refresh()
{
    const std::optional<OpenClient> held = server_([this]() -> std::optional<OpenClient> {
        const OpenClient* first = roster_.firstHeld();
        return first ? std::optional(*first) : std::nullopt;
    });
    shownId_ = held ? held->id : 0;
    if (held)
        question_->setText(tr("%1 wants to control this computer").arg(held->address));
    setVisible(held.has_value());
}
