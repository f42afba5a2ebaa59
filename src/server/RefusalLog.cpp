#include "server/RefusalLog.h"

#include <QLocale>

using Clock = std::chrono::steady_clock;

RefusalLog::RefusalLog(DiagnosticLog& log, QObject* parent) : QObject(parent), log_(log)
{
    sweep_.setInterval(std::chrono::seconds(1));
    connect(&sweep_, &QTimer::timeout, this, [this] { closeWindows(false); });
}

RefusalLog::~RefusalLog()
{
    closeWindows(true);
}

void RefusalLog::refused(const QString& address, const QString& reason)
{
    const auto key = std::pair(address, reason);
    const auto now = Clock::now();
    auto open = windows_.find(key);
    if (open != windows_.end() && open->end > now) {
        ++open->more;
        return;
    }
    if (open == windows_.end() && windows_.size() >= kFollowed) {
        if (othersMore_++ == 0)
            othersEnd_ = now + kWindow;
        return;
    }
    if (open != windows_.end())
        writeCount(address, std::exchange(open->more, 0));
    windows_[key] = {now + kWindow, 0};
    log_.writeLine(QStringLiteral("Rejected connection from ") + address + QStringLiteral(": ") +
                   reason);
    if (!sweep_.isActive())
        sweep_.start();
}

void RefusalLog::closeWindows(bool all)
{
    const auto now = Clock::now();
    windows_.removeIf([&](const auto& entry) {
        if (!all && entry.value().end > now)
            return false;
        writeCount(entry.key().first, entry.value().more);
        return true;
    });
    if (othersMore_ > 0 && (all || othersEnd_ <= now))
        writeCount(QStringLiteral("other addresses"), std::exchange(othersMore_, 0));
    if (windows_.isEmpty() && othersMore_ == 0)
        sweep_.stop();
}

void RefusalLog::writeCount(const QString& address, qint64 more)
{
    if (more > 0)
        log_.writeLine(QStringLiteral("%1 more refused from %2 in the last %3 s")
                           .arg(QLocale(QLocale::English).toString(more), address)
                           .arg(kWindow.count()));
}
