#include "ui/DevicesPanel.h"

#include "common/AppSettings.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>

#include <algorithm>

namespace {

const QString kAskKey = QStringLiteral("trust/askBeforeNewDevice");

QString kindOf(const OpenClient& client)
{
    if (!client.device.isEmpty())
        return client.device;
    return client.browserPage ? QObject::tr("browser page") : QObject::tr("app");
}

QString describe(const OpenClient& client)
{
    const QString trust = client.held      ? QObject::tr("waiting for approval")
                          : client.trusted ? QObject::tr("trusted")
                                           : QObject::tr("not trusted");
    return client.address + QStringLiteral(" · ") + kindOf(client) + QStringLiteral(" · ") + trust;
}

// As tall as its rows up to `rowsShown` of them, then it scrolls; at the
// least one row, so that a small screen still fits the window.
class RowArea : public QScrollArea
{
public:
    RowArea(int rowHeight, int rowsShown, QWidget* parent)
        : QScrollArea(parent), rowHeight_(rowHeight), rowsShown_(rowsShown)
    {
        setWidgetResizable(true);
        setFrameShape(QFrame::NoFrame);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    }
    QSize sizeHint() const override
    {
        const QSize content = widget()->sizeHint();
        return {content.width() + verticalScrollBar()->sizeHint().width(),
                std::min(content.height(), rowHeight_ * rowsShown_)};
    }
    QSize minimumSizeHint() const override
    {
        return {widget()->minimumSizeHint().width(),
                std::min(widget()->sizeHint().height(), rowHeight_)};
    }

private:
    int rowHeight_;
    int rowsShown_;
};

} // namespace

DevicesPanel::DevicesPanel(ServerAccess& server, QWidget* parent) : QWidget(parent), server_(server)
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
    connect(ask_, &QCheckBox::toggled, this, [this](bool checked) {
        AppSettings().setValue(kAskKey, checked);
        server_.setAskBeforeNewDevice(checked);
    });
    server_.setAskBeforeNewDevice(ask_->isChecked());

    auto* saveProblem = new QLabel(this);
    saveProblem->setObjectName(QStringLiteral("trustSaveProblem"));
    saveProblem->setWordWrap(true);
    layout->addWidget(saveProblem);
    const auto showSaveProblem = [this, saveProblem] {
        saveProblem->setText(server_.trustSaveProblem());
        saveProblem->setVisible(!saveProblem->text().isEmpty());
    };
    connect(&server_, &ServerAccess::trustSaveProblemChanged, saveProblem, showSaveProblem);
    showSaveProblem();

    empty_ = new QLabel(tr("No device connected"), this);
    layout->addWidget(empty_);
    auto* rows = new QWidget(this);
    rowLayout_ = new QVBoxLayout(rows);
    rowLayout_->setContentsMargins(0, 0, 0, 0);
    rowLayout_->setSpacing(2);
    const int rowHeight = QPushButton(tr("Disconnect")).sizeHint().height() + 2;
    scroll_ = new RowArea(rowHeight, kRowsShown, this);
    scroll_->setObjectName(QStringLiteral("deviceRows"));
    scroll_->setWidget(rows);
    layout->addWidget(scroll_);

    connect(&server_, &ServerAccess::devicesChanged, this,
            [this] { showListing(server_.devices()); });
    showListing(server_.devices());
}

void DevicesPanel::showListing(const DeviceListing& listing)
{
    QStringList keys;
    QHash<QString, Row> wanted;
    const auto want = [&](const QString& key, Row row) {
        keys.append(key);
        wanted.insert(key, std::move(row));
    };
    for (const OpenClient& client : listing.clients)
        want(QStringLiteral("client/%1").arg(client.id),
             {describe(client), tr("Disconnect"), QStringLiteral("disconnect"),
              [this, id = client.id] {
                  server_.disconnectClient(id);
              }});
    for (const TrustedDevice& device : listing.devices)
        want(QStringLiteral("device/") + QString::fromLatin1(device.tokenHash),
             {tr("Paired: %1, last seen %2")
                  .arg(device.name,
                       QLocale().toString(device.lastSeen.toLocalTime(), QLocale::ShortFormat)),
              tr("Forget"), QStringLiteral("forgetDevice"), [this, hash = device.tokenHash] {
                  server_.forgetDevice(hash);
              }});
    for (const QString& address : listing.addresses)
        want(QStringLiteral("address/") + address,
             {tr("Trusted app address: %1").arg(address), tr("Forget"),
              QStringLiteral("forgetAddress"), [this, address] {
                  server_.forgetAddress(address);
              }});

    // The lists only ever append and remove, so the rows that stay keep
    // their order and each new one goes in at its place.
    for (const QString& key : std::as_const(shownKeys_)) {
        if (!wanted.contains(key))
            delete shownRows_.take(key);
    }
    for (int index = 0; index < keys.size(); ++index) {
        const Row& row = wanted[keys[index]];
        if (QWidget* shown = shownRows_.value(keys[index])) {
            auto* label = shown->findChild<QLabel*>();
            if (label->text() != row.text)
                label->setText(row.text);
        } else {
            QWidget* made = makeRow(row);
            rowLayout_->insertWidget(index, made);
            shownRows_.insert(keys[index], made);
        }
    }
    shownKeys_ = keys;
    empty_->setVisible(listing.clients.isEmpty());
    scroll_->setVisible(!keys.isEmpty());
    scroll_->updateGeometry();
}

QWidget* DevicesPanel::makeRow(const Row& row)
{
    auto* widget = new QWidget(scroll_->widget());
    auto* layout = new QHBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel(row.text, widget);
    label->setWordWrap(true);
    layout->addWidget(label, 1);
    auto* button = new QPushButton(row.buttonText, widget);
    button->setObjectName(row.buttonName);
    // The row may go away under the click; act once the click is over.
    connect(
        button, &QPushButton::clicked, this, [action = row.action] { action(); },
        Qt::QueuedConnection);
    layout->addWidget(button);
    return widget;
}
