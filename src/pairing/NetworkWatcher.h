#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

// Announces changes of IPv4 addresses and routes as the kernel reports them
// (rtnetlink), without polling. A burst of kernel messages read in one go is
// one announcement.
class NetworkWatcher : public QObject
{
    Q_OBJECT
public:
    explicit NetworkWatcher(QObject* parent = nullptr);
    ~NetworkWatcher() override;

    // Why changes cannot be watched; empty while they are.
    const QString& problem() const { return problem_; }

signals:
    void changed();

private:
    void drain();

    int socket_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QString problem_;
};
