#include "TestSupport.h"
#include "common/SettingsFile.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

class CommonTest : public QObject
{
    Q_OBJECT
private slots:
    void blockedOutputDropsAndCountsLines();
    void settingsAreTheOwnersAndBoundedInSize();
};

// Standard output as a pipe that nobody reads, then one that is read again.
void CommonTest::blockedOutputDropsAndCountsLines()
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

// The file is its owner's alone; one that no settings could fill is set aside
// and the start goes on.
void CommonTest::settingsAreTheOwnersAndBoundedInSize()
{
    useTemporarySettings();
    const QString path = SettingsFile::path();
    const QString folder = QFileInfo(path).path();
    const auto mode = [](const QString& file) {
        return int(QFile::permissions(file) & 0x7777);
    };
    RecordingLog log;
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(sh("chmod 0755 " + folder + " && touch " + path + " && chmod 0644 " + path));
    SettingsFile::prepare(log);
    QCOMPARE(mode(folder), 0x7700);
    QCOMPARE(mode(path), 0x6600);
    QCOMPARE(log.lines, QStringList{"Made " + path + " readable by its owner only"});

    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(300 * 1024 * 1024));
    }
    SettingsFile::prepare(log);
    QVERIFY(!QFile::exists(path) || QFileInfo(path).size() == 0);
    const QStringList copies = QDir(folder).entryList({"kestrelio.conf.bad-*"}, QDir::Files);
    QCOMPARE(copies.size(), 1);
    QCOMPARE(log.lines.last(), QStringLiteral("The settings file %1 is larger than 1 MiB: moved "
                                              "aside as %2, starting with defaults")
                                   .arg(path, folder + u'/' + copies.first()));
}

QTEST_GUILESS_MAIN(CommonTest)
#include "tst_common.moc"
