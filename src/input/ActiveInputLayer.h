#pragma once

#include "common/PriorityInheritingMutex.h"
#include "input/EventLayer.h"

#include <QObject>
#include <QString>

#include <memory>

// The layer the program posts through, whose backend may change while it runs
// (a desktop that grants, refuses or ends remote input). Callers keep this one
// reference; `summary` tells the user what key presses reach right now. Any
// thread may post: the server's and the game controllers' take turns.
class ActiveInputLayer final : public QObject, public EventLayer
{
    Q_OBJECT
public:
    ActiveInputLayer();

    // `offReason` is the short sentence a phone is told while `layer` drops
    // input; the summary when none is given.
    void use(std::unique_ptr<EventLayer> layer, const QString& summary,
             const QString& offReason = {});
    QString summary() const;
    // False while key presses go nowhere: no backend, or none allowed yet.
    bool reachesTheSystem() const;
    // Why key presses go nowhere, for a phone; none while they reach the system.
    std::optional<QString> offReason() const;

    void post(const InputEvent& event) override;

signals:
    void summaryChanged(const QString& summary);

private:
    mutable PriorityInheritingMutex mutex_;
    std::unique_ptr<EventLayer> layer_;
    QString summary_;
    QString offReason_;
};
