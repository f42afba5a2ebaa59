#include "gamepad/RumbleEffects.h"

#include <cerrno>

int RumbleEffects::upload(const ff_effect& effect)
{
    if (effect.type != FF_RUMBLE)
        return -EINVAL;
    effects_.insert(effect.id, {effect.u.rumble.strong_magnitude, effect.u.rumble.weak_magnitude,
                                effect.replay.length});
    return 0;
}

void RumbleEffects::erase(int id)
{
    effects_.remove(id);
}

std::optional<Rumble> RumbleEffects::play(quint16 id, qint32 value) const
{
    const auto it = effects_.constFind(id);
    if (it == effects_.cend())
        return std::nullopt;
    if (value <= 0)
        return Rumble{0, 0, 0};
    return *it;
}
