#pragma once

#include "pairing/AddressDiscovery.h"

#include <QObject>
#include <QTimer>

#include <optional>

class NetworkWatcher;

// The address the pairing code offers, looked up again whenever the network
// changes. Of several candidates the user may choose one; the choice is
// remembered by interface name and applies whenever that interface is present.
class PairingAddress : public QObject
{
    Q_OBJECT
public:
    explicit PairingAddress(InterfaceSource source = InterfaceSource::system(),
                            QObject* parent = nullptr);

    // Looks up shortly, once for any number of requests in between; never
    // from within the caller.
    void lookUpSoon();
    bool hasLookedUp() const { return lookedUp_; }

    const QList<PairingCandidate>& candidates() const { return candidates_; }
    int chosenIndex() const { return chosen_; }
    std::optional<QString> address() const;
    void choose(const QByteArray& interfaceName);

    // Why network changes are not followed; empty while they are.
    QString watchProblem() const;

signals:
    // After the first lookup, and whenever the candidates or the choice change.
    void changed();
    // After every lookup, changed or not.
    void lookedUp();

private:
    void lookUp();
    int preferredIndex() const;

    InterfaceSource source_;
    NetworkWatcher* watcher_;
    QTimer coalesce_;
    QList<PairingCandidate> candidates_;
    int chosen_ = -1;
    bool lookedUp_ = false;
};
