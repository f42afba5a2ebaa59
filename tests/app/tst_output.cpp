#include "common/DiagnosticLog.h"

#include <QScopeGuard>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

// Standard output as a pipe that nobody reads, then one that is read again.
class OutputTest : public QObject
{
    Q_OBJECT
private slots:
    void blockedOutputDropsAndCountsLines();
};

void OutputTest::blockedOutputDropsAndCountsLines()
{
    int fds[2];
    QVERIFY(::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0);
    ::fcntl(fds[1], F_SETFL, 0); // the writer blocks, as on a terminal
    const auto closePipe = qScopeGuard([&fds] { ::close(fds[0]), ::close(fds[1]); });
    StdoutLog log(fds[1]);
    // Far more than the pipe and the queue hold; a stall would hang here.
    constexpr int kLines = 100'000;
    for (int i = 0; i < kLines; ++i)
        log.writeLine(QStringLiteral("key pressed : %1").arg(i));
    log.writeLine(QString(5000, u'x'));

    // Output flows again: the first line that fits brings the count of those lost.
    QByteArray read;
    int attempts = 0;
    QVERIFY(QTest::qWaitFor(
        [&] {
            log.writeLine(QString(5000, u'y'));
            ++attempts;
            char chunk[65536];
            ssize_t n = 0;
            for (int reads = 0; reads < 10'000 && (n = ::read(fds[0], chunk, sizeof chunk)) > 0;
                 ++reads)
                read.append(chunk, n);
            return read.endsWith("y\u2026\n");
        },
        10000));

    // Every line is either written or counted as lost; long ones are cut.
    int written = 0;
    int lost = 0;
    for (const QByteArray& line : read.split('\n')) {
        if (line.endsWith(" lines of output were lost while standard output was not being read"))
            lost += line.split(' ').first().toInt();
        else if (!line.isEmpty())
            ++written;
    }
    // The last attempt may still be waiting to be counted.
    QVERIFY(written + lost == kLines + 1 + attempts || written + lost == kLines + attempts);
    QVERIFY(lost > 0);
    QVERIFY(read.endsWith(QString(StdoutLog::kMaxLineLength - 1, u'y').toUtf8() + "\u2026\n"));
}

QTEST_GUILESS_MAIN(OutputTest)
#include "tst_output.moc"
