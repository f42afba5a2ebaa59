#include "input/ActiveInputLayer.h"

ActiveInputLayer::ActiveInputLayer() : layer_(std::make_unique<NullEventLayer>()) {}

void ActiveInputLayer::use(std::unique_ptr<EventLayer> layer, const QString& summary)
{
    layer_ = std::move(layer);
    summary_ = summary;
    emit summaryChanged(summary_);
}

bool ActiveInputLayer::reachesTheSystem() const
{
    return !dynamic_cast<const NullEventLayer*>(layer_.get());
}

std::optional<EventSource> ActiveInputLayer::createSource()
{
    return layer_->createSource();
}

std::optional<KeyEvent> ActiveInputLayer::createKeyEvent(const std::optional<EventSource>& source,
                                                         quint16 code, bool keyDown)
{
    return layer_->createKeyEvent(source, code, keyDown);
}

std::optional<ScrollEvent> ActiveInputLayer::createScrollEvent(const EventSource& source,
                                                               qint32 verticalPixels,
                                                               qint32 horizontalPixels)
{
    return layer_->createScrollEvent(source, verticalPixels, horizontalPixels);
}

void ActiveInputLayer::post(TapLocation tap, const InputEvent& event)
{
    layer_->post(tap, event);
}
