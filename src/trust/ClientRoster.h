#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>

// One open connection as the Devices list shows it.
struct OpenClient
{
    int id = 0;
    QString address;
    bool browserPage = false;
    bool trusted = false;
    bool held = false;
    QString device; // what its User-Agent tells, if anything
};

// The open connections and the ones held for the user's approval. A held
// connection is answered by allow(), deny() or, after `approvalTimeout`, by
// a denial of its own.
class ClientRoster : public QObject
{
    Q_OBJECT
public:
    explicit ClientRoster(std::chrono::milliseconds approvalTimeout, QObject* parent = nullptr);

    // Returns the connection's id.
    int add(const QString& address, bool browserPage, bool trusted, bool held,
            const QString& device = {});
    void remove(int id);

    const OpenClient* find(int id) const;
    QList<OpenClient> clients() const;
    // The oldest connection waiting for an answer, if any.
    const OpenClient* firstHeld() const;

    void allow(int id);
    void deny(int id);
    // Asks the server to end the connection; its keys go with it.
    void disconnect(int id) { emit disconnectRequested(id); }
    // Asks the server to end the connection with a policy violation, to make
    // room for a trusted one.
    void evict(int id, const QString& reason) { emit evictionRequested(id, reason); }

signals:
    void changed();
    void allowed(int id);
    void denied(int id, const QString& reason);
    void disconnectRequested(int id);
    void evictionRequested(int id, const QString& reason);

private:
    std::chrono::milliseconds approvalTimeout_;
    QList<OpenClient> clients_;
    QHash<int, QTimer*> deadlines_;
    int nextId_ = 1;
};
