// The program left alone, with no client and no game controller: how often
// its threads wake up over 10 s, headless and with the window on a private
// Xvfb. Counted from /proc (voluntary and involuntary context switches of
// every thread). The program runs in a network namespace of its own, so the
// benchmark needs root. Run: build/.../bench/kestrelio_idle_bench
#include "ProgramProcess.h"
#include "XTestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QTest>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

constexpr auto kIdle = std::chrono::seconds(10);
constexpr long kTarget = 5;

struct ThreadSwitches
{
    QByteArray name;
    long switches = 0;
};

// By thread id; a thread that ended meanwhile is simply missing.
QMap<QString, ThreadSwitches> sample(qint64 pid)
{
    QMap<QString, ThreadSwitches> threads;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks.filePath(tid + QStringLiteral("/status")));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        ThreadSwitches thread;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("Name:"))
                thread.name = line.mid(5).trimmed();
            else if (line.contains("ctxt_switches:"))
                thread.switches += line.mid(line.indexOf(':') + 1).trimmed().toLong();
        }
        threads.insert(tid, thread);
    }
    return threads;
}

bool measure(const char* mode, ProgramProcess& program)
{
    // Start-up work (the address look-up, the first paint, SDL's first scan) is
    // not idleness.
    QTest::qWait(3000);
    const auto before = sample(program.pid());
    std::this_thread::sleep_for(kIdle);
    const auto after = sample(program.pid());
    long total = 0;
    QByteArray detail;
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        const long delta = it->switches - before.value(it.key()).switches;
        total += delta;
        if (delta > 0)
            detail += ' ' + it->name + '=' + QByteArray::number(delta);
    }
    std::printf("%-9s %3ld context switches in %lld s over %lld threads (target: at most %ld)%s\n",
                mode, total, static_cast<long long>(kIdle.count()),
                static_cast<long long>(after.size()), kTarget, detail.constData());
    return total <= kTarget;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList ownNetwork{QStringLiteral("unshare"), QStringLiteral("-n")};
    bool ok = true;
    {
        ProgramProcess program;
        program.start({QStringLiteral("--headless")}, ownNetwork);
        if (!program.waitFor("Server ready on port 3330\n")) {
            std::printf("headless: the program did not start (run as root):\n%s\n",
                        program.output.constData());
            return 1;
        }
        ok = measure("headless", program) && ok;
    }
    {
        XvfbServer xvfb;
        if (!xvfb.isRunning()) {
            std::printf("window: Xvfb did not start\n");
            return 1;
        }
        ProgramProcess program({}, xvfb.displayName());
        program.start({}, ownNetwork);
        if (!QTest::qWaitFor([&] { return !topLevelWindows(xvfb.displayName()).isEmpty(); },
                             15000)) {
            std::printf("window: no window appeared\n");
            return 1;
        }
        ok = measure("window", program) && ok;
    }
    return ok ? 0 : 2;
}
