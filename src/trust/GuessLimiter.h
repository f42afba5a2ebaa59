#pragma once

#include <QHash>
#include <QString>

#include <chrono>

// Slows down whoever guesses secrets or tokens: an address that got
// `kWrongGuesses` wrong within `kWindow` is refused unasked for `kLockout`.
class GuessLimiter
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kWrongGuesses = 20;
    static constexpr std::chrono::seconds kWindow{10};
    static constexpr std::chrono::seconds kLockout{60};
    // Addresses followed at once; beyond, the stalest are let go.
    static constexpr qsizetype kAddressesFollowed = 4096;

    bool isLockedOut(const QString& address, Clock::time_point now = Clock::now()) const;
    // Returns whether this guess locked the address out.
    bool noteWrongGuess(const QString& address, Clock::time_point now = Clock::now());

private:
    struct Guesses
    {
        Clock::time_point windowStart;
        int count = 0;
        Clock::time_point lockedUntil;
    };
    void forgetStale(Clock::time_point now);

    QHash<QString, Guesses> guesses_;
};
