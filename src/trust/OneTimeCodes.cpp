#include "trust/OneTimeCodes.h"

#include "trust/Secrets.h"

QByteArray OneTimeCodes::issue(Clock::time_point now)
{
    codes_.removeIf([now](const Code& code) { return code.expires <= now; });
    if (codes_.size() >= kOutstanding)
        codes_.removeFirst();
    codes_.append({randomSecret(), now + kLifetime});
    return codes_.last().text;
}

bool OneTimeCodes::redeem(QByteArrayView code, Clock::time_point now)
{
    for (qsizetype i = 0; i < codes_.size(); ++i) {
        if (constantTimeEquals(code, codes_[i].text)) {
            const bool fresh = codes_[i].expires > now;
            codes_.removeAt(i);
            return fresh;
        }
    }
    return false;
}
