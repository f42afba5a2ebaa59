#pragma once

#include <QHash>

#include <linux/input.h>
#include <optional>

struct Rumble
{
    quint16 strong;
    quint16 weak;
    quint16 milliseconds;
};

// The force-feedback effects games uploaded to one pad, by the ids the kernel
// gave them. Only rumble is offered.
class RumbleEffects
{
public:
    // The answer for the kernel: 0, or a negative errno for an effect that is
    // no rumble.
    int upload(const ff_effect& effect);
    void erase(int id);
    // An EV_FF event: a value above 0 plays the effect, 0 stops it (an
    // all-zero rumble). None for an id nobody uploaded.
    std::optional<Rumble> play(quint16 id, qint32 value) const;

private:
    QHash<int, Rumble> effects_;
};
