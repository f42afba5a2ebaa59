#include "ui/ServerAccess.h"

#include "server/WebSocketViewModel.h"

ServerAccess::ServerAccess(WebSocketViewModel& server, Runner runner, QObject* parent)
    : QObject(parent), server_(server), runner_(std::move(runner))
{
    // Connected from the server's thread: even the store is only reached there.
    run([this] {
        feed_ = new DeviceListingFeed(server_.roster(), server_.trust(), &server_);
        connect(feed_, &DeviceListingFeed::changed, this, &ServerAccess::devicesChanged);
        connect(&server_.trust().store(), &TrustStore::changed, this,
                &ServerAccess::trustSaveProblemChanged);
        for (const auto signal : {&WebSocketViewModel::serverStatusChanged,
                                  &WebSocketViewModel::connectionStatusChanged,
                                  &WebSocketViewModel::keyPressSimulationChanged})
            connect(&server_, signal, this, &ServerAccess::statusesChanged);
        connect(&server_, &WebSocketViewModel::receivedMessagesChanged, this,
                &ServerAccess::messagesChanged);
        connect(&server_, &WebSocketViewModel::tlsChanged, this, &ServerAccess::certificateChanged);
        for (const auto signal :
             {&WebSocketViewModel::gamePadsChanged, &WebSocketViewModel::gamePadsOffChanged})
            connect(&server_, signal, this, &ServerAccess::gamePadsChanged);
    });
}

ServerAccess::~ServerAccess()
{
    run([feed = feed_] { delete feed; });
}

void ServerAccess::run(const std::function<void()>& work) const
{
    if (runner_)
        runner_(work);
    else
        work();
}

ServerAccess::Statuses ServerAccess::statuses() const
{
    return call([this] {
        return Statuses{server_.serverStatus(), server_.connectionStatus(),
                        server_.keyPressSimulation()};
    });
}

QStringList ServerAccess::newestMessages(int count) const
{
    return call([this, count] { return server_.receivedMessages().mid(0, count); });
}

ServerAccess::GamePads ServerAccess::gamePads() const
{
    return call([this] { return GamePads{server_.gamePads(), server_.gamePadsOff()}; });
}

QByteArray ServerAccess::pairingSecret() const
{
    return call([this] { return server_.trust().pairingSecret(); });
}

QString ServerAccess::trustSaveProblem() const
{
    return call([this] { return server_.trust().store().saveProblem(); });
}

QString ServerAccess::certificateFingerprint() const
{
    return call([this] { return server_.tls().fingerprint(); });
}

DeviceListing ServerAccess::devices() const
{
    return feed_->latest();
}

void ServerAccess::startServer()
{
    call([this] { server_.startServer(); });
}

void ServerAccess::restartServer()
{
    call([this] { server_.restartServer(); });
}

void ServerAccess::showInput(const std::optional<QString>& summary,
                             const std::optional<QString>& offReason)
{
    call([&] {
        server_.setKeyPressSimulation(summary);
        server_.setInputOffReason(offReason);
    });
}

void ServerAccess::setAskBeforeNewDevice(bool ask)
{
    call([this, ask] {
        server_.trust().setStrangerPolicy(ask ? StrangerPolicy::Ask : StrangerPolicy::Serve);
    });
}

void ServerAccess::allow(int clientId)
{
    call([this, clientId] { server_.roster().allow(clientId); });
}

void ServerAccess::deny(int clientId)
{
    call([this, clientId] { server_.roster().deny(clientId); });
}

void ServerAccess::disconnectClient(int clientId)
{
    call([this, clientId] { server_.roster().disconnect(clientId); });
}

void ServerAccess::forgetDevice(const QByteArray& tokenHash)
{
    call([&] { server_.trust().store().forgetDevice(tokenHash); });
}

void ServerAccess::forgetAddress(const QString& address)
{
    call([&] { server_.trust().store().forgetAddress(address); });
}

void ServerAccess::releaseAllKeys()
{
    call([this] { server_.releaseAllKeys(); });
}

void ServerAccess::coverPairingAddress(const QString& address)
{
    call([this, &address] { server_.coverPairingAddress(address); });
}
