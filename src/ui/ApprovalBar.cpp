#include "ui/ApprovalBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include <algorithm>
#include <iterator>

ApprovalBar::ApprovalBar(ServerAccess& server, QWidget* parent) : QWidget(parent), server_(server)
{
    setObjectName(QStringLiteral("approvalBar"));
    auto* layout = new QHBoxLayout(this);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(0);
    question_ = new QLabel(this);
    question_->setObjectName(QStringLiteral("approvalQuestion"));
    QFont bold = question_->font();
    bold.setBold(true);
    question_->setFont(bold);
    device_ = new QLabel(this);
    device_->setObjectName(QStringLiteral("approvalDevice"));
    texts->addWidget(question_);
    texts->addWidget(device_);
    layout->addLayout(texts, 1);
    waiting_ = new QLabel(this);
    waiting_->setObjectName(QStringLiteral("approvalWaiting"));
    layout->addWidget(waiting_);
    auto* allow = new QPushButton(tr("Allow"), this);
    allow->setObjectName(QStringLiteral("allow"));
    auto* deny = new QPushButton(tr("Deny"), this);
    deny->setObjectName(QStringLiteral("deny"));
    layout->addWidget(allow);
    layout->addWidget(deny);
    connect(allow, &QPushButton::clicked, this, [this] { server_.allow(shownId_); });
    connect(deny, &QPushButton::clicked, this, [this] { server_.deny(shownId_); });
    connect(&server_, &ServerAccess::devicesChanged, this,
            [this] { showListing(server_.devices()); });
    showListing(server_.devices());
}

void ApprovalBar::showListing(const DeviceListing& listing)
{
    QList<OpenClient> held;
    std::copy_if(listing.clients.cbegin(), listing.clients.cend(), std::back_inserter(held),
                 [](const OpenClient& client) { return client.held; });
    shownId_ = held.isEmpty() ? 0 : held.first().id;
    if (!held.isEmpty()) {
        question_->setText(tr("%1 wants to control this computer").arg(held.first().address));
        const OpenClient& first = held.first();
        device_->setText(!first.device.isEmpty() ? first.device
                         : first.browserPage     ? tr("Browser page")
                                                 : tr("App"));
        waiting_->setText(tr("%1 more waiting").arg(held.size() - 1));
        waiting_->setVisible(held.size() > 1);
    }
    setVisible(!held.isEmpty());
}
