#pragma once

#include <QByteArray>
#include <QList>

#include <chrono>

// Pairing codes that a paired page hands to a page of its own on another
// origin (the https page, which shares none of its storage): each pairs
// once, and only within `kLifetime`.
class OneTimeCodes
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::minutes kLifetime{2};
    // Codes waiting at once; beyond, the oldest stops working.
    static constexpr qsizetype kOutstanding = 16;

    QByteArray issue(Clock::time_point now = Clock::now());
    // Whether `code` was issued and is still fresh; it works no more after.
    bool redeem(QByteArrayView code, Clock::time_point now = Clock::now());

private:
    struct Code
    {
        QByteArray text;
        Clock::time_point expires;
    };
    QList<Code> codes_;
};
