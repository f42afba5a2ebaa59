#include "input/ActiveInputLayer.h"

#include <mutex>

ActiveInputLayer::ActiveInputLayer() : layer_(std::make_unique<NullEventLayer>()) {}

void ActiveInputLayer::use(std::unique_ptr<EventLayer> layer, const QString& summary,
                           const QString& offReason)
{
    {
        const std::lock_guard lock(mutex_);
        // The old backend goes once no thread posts through it any more.
        layer_.swap(layer);
        summary_ = summary;
        offReason_ = offReason.isEmpty() ? summary : offReason;
    }
    emit summaryChanged(summary);
}

QString ActiveInputLayer::summary() const
{
    const std::lock_guard lock(mutex_);
    return summary_;
}

bool ActiveInputLayer::reachesTheSystem() const
{
    const std::lock_guard lock(mutex_);
    return !dynamic_cast<const NullEventLayer*>(layer_.get());
}

std::optional<QString> ActiveInputLayer::offReason() const
{
    const std::lock_guard lock(mutex_);
    if (!dynamic_cast<const NullEventLayer*>(layer_.get()))
        return std::nullopt;
    return offReason_;
}

void ActiveInputLayer::post(const InputEvent& event)
{
    const std::lock_guard lock(mutex_);
    layer_->post(event);
}
