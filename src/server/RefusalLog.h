#pragma once

#include "common/DiagnosticLog.h"

#include <QHash>
#include <QObject>
#include <QTimer>

#include <chrono>

// A guesser or a flood must not fill the log: of the refusals of one address
// for one reason, one line is written per `kWindow`, then how many followed.
class RefusalLog : public QObject
{
    Q_OBJECT
public:
    static constexpr std::chrono::seconds kWindow{10};
    // Pairs of address and reason followed at once; the rest share one count.
    static constexpr qsizetype kFollowed = 1024;

    explicit RefusalLog(DiagnosticLog& log, QObject* parent = nullptr);
    // Writes any counts still open.
    ~RefusalLog() override;

    void refused(const QString& address, const QString& reason);

private:
    struct Window
    {
        std::chrono::steady_clock::time_point end;
        qint64 more = 0;
    };
    void closeWindows(bool all);
    void writeCount(const QString& address, qint64 more);

    DiagnosticLog& log_;
    QHash<std::pair<QString, QString>, Window> windows_;
    qint64 othersMore_ = 0;
    std::chrono::steady_clock::time_point othersEnd_;
    QTimer sweep_;
};
