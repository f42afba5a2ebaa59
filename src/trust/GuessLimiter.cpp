#include "trust/GuessLimiter.h"

bool GuessLimiter::isLockedOut(const QString& address, Clock::time_point now) const
{
    const auto found = guesses_.constFind(address);
    return found != guesses_.cend() && found->lockedUntil > now;
}

bool GuessLimiter::noteWrongGuess(const QString& address, Clock::time_point now)
{
    if (guesses_.size() >= kAddressesFollowed && !guesses_.contains(address)) {
        forgetStale(now);
        if (guesses_.size() >= kAddressesFollowed)
            return false;
    }
    Guesses& guesses = guesses_[address];
    if (now - guesses.windowStart >= kWindow) {
        guesses.windowStart = now;
        guesses.count = 0;
    }
    if (++guesses.count < kWrongGuesses)
        return false;
    guesses.count = 0;
    guesses.lockedUntil = now + kLockout;
    return true;
}

void GuessLimiter::forgetStale(Clock::time_point now)
{
    guesses_.removeIf([now](const auto& entry) {
        return entry.value().lockedUntil <= now && now - entry.value().windowStart >= kWindow;
    });
    // Still full: a crowd of fresh addresses; only the lockouts are kept.
    if (guesses_.size() >= kAddressesFollowed)
        guesses_.removeIf([now](const auto& entry) { return entry.value().lockedUntil <= now; });
}
