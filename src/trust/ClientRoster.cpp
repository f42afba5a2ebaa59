#include "trust/ClientRoster.h"

ClientRoster::ClientRoster(std::chrono::milliseconds approvalTimeout, QObject* parent)
    : QObject(parent), approvalTimeout_(approvalTimeout)
{}

int ClientRoster::add(const QString& address, bool browserPage, bool trusted, bool held,
                      const QString& device)
{
    const int id = nextId_++;
    clients_.append({id, address, browserPage, trusted, held, device});
    if (held) {
        auto* deadline = new QTimer(this);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, this, [this, id] {
            const OpenClient* client = find(id);
            if (client && client->held)
                emit denied(id, QStringLiteral("Not allowed in time"));
        });
        deadline->start(approvalTimeout_);
        deadlines_.insert(id, deadline);
    }
    emit changed();
    return id;
}

void ClientRoster::remove(int id)
{
    delete deadlines_.take(id);
    if (clients_.removeIf([id](const OpenClient& c) { return c.id == id; }) > 0)
        emit changed();
}

const OpenClient* ClientRoster::find(int id) const
{
    for (const OpenClient& client : clients_) {
        if (client.id == id)
            return &client;
    }
    return nullptr;
}

QList<OpenClient> ClientRoster::clients() const
{
    return clients_;
}

const OpenClient* ClientRoster::firstHeld() const
{
    for (const OpenClient& client : clients_) {
        if (client.held)
            return &client;
    }
    return nullptr;
}

void ClientRoster::allow(int id)
{
    delete deadlines_.take(id);
    for (OpenClient& client : clients_) {
        if (client.id == id && client.held) {
            client.held = false;
            client.trusted = true;
            emit changed();
            emit allowed(id);
            return;
        }
    }
}

void ClientRoster::deny(int id)
{
    delete deadlines_.take(id);
    const OpenClient* client = find(id);
    if (client && client->held)
        emit denied(id, QStringLiteral("Denied by the user"));
}
