#include "PrivateBus.h"
#include "ProgramProcess.h"
#include "TestSupport.h"
#include "sched/RealtimeGuard.h"
#include "sched/ThreadPriority.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <ctime>
#include <sched.h>
#include <thread>

namespace {

// What the fake saw of one call, read while the caller waited for the answer.
struct RtkitCall
{
    QString method;
    qulonglong process = 0;
    qulonglong thread = 0;
    qint64 level = 0;
    QByteArray threadName;
    qint64 hardRealtimeLimit = -1; // -1: unlimited
};

qint64 hardRealtimeLimitOf(qulonglong process)
{
    QFile limits(QStringLiteral("/proc/%1/limits").arg(process));
    if (!limits.open(QIODevice::ReadOnly))
        return -2;
    for (const QByteArray& line : limits.readAll().split('\n')) {
        if (line.startsWith("Max realtime timeout")) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            return fields.value(4) == "unlimited" ? -1 : fields.value(4).toLongLong();
        }
    }
    return -2;
}

enum class Answer
{
    Grant,
    Refuse,
    Hang,
};

class FakeRtkit : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.RealtimeKit1")
    Q_PROPERTY(int MaxRealtimePriority MEMBER maxRealtimePriority)
    Q_PROPERTY(int MinNiceLevel MEMBER minNiceLevel)
    Q_PROPERTY(qlonglong RTTimeUSecMax MEMBER rtTimeUSecMax)
public:
    int maxRealtimePriority = 5;
    int minNiceLevel = -11;
    qlonglong rtTimeUSecMax = 150'000;
    Answer realtime = Answer::Grant;
    Answer highPriority = Answer::Grant;
    QList<RtkitCall> calls;
    QList<QDBusMessage> unanswered;

public slots:
    void MakeThreadRealtimeWithPID(qulonglong process, qulonglong thread, uint priority)
    {
        answer(realtime,
               {QStringLiteral("MakeThreadRealtimeWithPID"), process, thread, priority, {}, -1});
    }
    void MakeThreadHighPriority(qulonglong thread, int niceLevel)
    {
        // The caller's process, as rtkit finds it from the bus.
        const qulonglong process =
            connection().interface()->servicePid(message().service()).value();
        answer(highPriority,
               {QStringLiteral("MakeThreadHighPriority"), process, thread, niceLevel, {}, -1});
    }

private:
    void answer(Answer how, RtkitCall call)
    {
        QFile name(QStringLiteral("/proc/%1/task/%2/comm").arg(call.process).arg(call.thread));
        if (name.open(QIODevice::ReadOnly))
            call.threadName = name.readAll().trimmed();
        call.hardRealtimeLimit = hardRealtimeLimitOf(call.process);
        calls.append(call);
        if (how == Answer::Refuse)
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Operation not permitted"));
        if (how == Answer::Hang) {
            setDelayedReply(true);
            unanswered.append(message());
        }
    }
};

long cpuMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1000 + now.tv_nsec / 1'000'000;
}

void spin(long ms)
{
    const long start = cpuMs();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (cpuMs() - start < ms && std::chrono::steady_clock::now() < deadline) {
    }
}

int policy()
{
    return ::sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
}

// Root as the test runs, but without the right to real time: no
// CAP_SYS_NICE and no RLIMIT_RTPRIO.
void runAgainstRtkit(bool present, Answer realtime, Answer highPriority, const QString& line,
                     const QStringList& methods)
{
    PrivateBus bus(PrivateBus::Kind::System);
    QVERIFY(bus.isRunning());
    const QString connectionName = QStringLiteral("fake-rtkit");
    QDBusConnection connection = QDBusConnection::connectToBus(bus.address(), connectionName);
    const auto leaveBus = qScopeGuard([&] { QDBusConnection::disconnectFromBus(connectionName); });
    FakeRtkit rtkit;
    rtkit.realtime = realtime;
    rtkit.highPriority = highPriority;
    if (present) {
        QVERIFY(connection.registerObject(QStringLiteral("/org/freedesktop/RealtimeKit1"), &rtkit,
                                          QDBusConnection::ExportAllSlots |
                                              QDBusConnection::ExportAllProperties));
        QVERIFY(connection.registerService(QStringLiteral("org.freedesktop.RealtimeKit1")));
    }

    ProgramProcess program({"DBUS_SYSTEM_BUS_ADDRESS=" + bus.address()});
    program.start({"--headless"}, {"setpriv", "--bounding-set=-sys_nice", "prlimit", "--rtprio=0"});
    QVERIFY2(program.waitFor("Server status: Server ready on port 3330\n"),
             program.output.constData());
    const QRegularExpression expected("\nScheduling: " + line + "\nServing any client");
    QVERIFY2(expected.match(QString::fromUtf8(program.output)).hasMatch(),
             program.output.constData());

    TestClient client(QUrl(QStringLiteral("ws://127.0.0.1:3330")));
    QVERIFY(client.sync());

    QStringList called;
    for (const RtkitCall& call : rtkit.calls) {
        called.append(call.method);
        QCOMPARE(call.process, qulonglong(program.pid()));
        QVERIFY(call.thread != call.process);
        QCOMPARE(call.threadName, QByteArray("kestrelio-net"));
        if (call.method == u"MakeThreadRealtimeWithPID") {
            QCOMPARE(call.level, 5);
            QVERIFY(call.hardRealtimeLimit > 0 && call.hardRealtimeLimit <= rtkit.rtTimeUSecMax);
        } else {
            QCOMPARE(call.level, -11);
        }
    }
    QCOMPARE(called, methods);

    QVERIFY(program.quit());
}

} // namespace

// The program as a desktop user runs it: no right to real time of its own,
// rtkit (a fake on a system bus of the test's own) to ask instead.
class SchedulingTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY2(enterNetworkOfItsOwn(),
                 "the test needs a network namespace of its own (run it as root)");
    }

    void asksRtkitForTheNetworkThread()
    {
        using enum Answer;
        const QString realtime = QStringLiteral("MakeThreadRealtimeWithPID");
        const QString high = QStringLiteral("MakeThreadHighPriority");
        // Whether rtkit is there, its two answers, the scheduling line, the calls.
        const std::tuple<bool, Answer, Answer, QString, QStringList> cases[] = {
            {true, Grant, Grant, "real-time \\(rtkit, priority 5\\)", {realtime}},
            {true, Refuse, Grant, "high priority \\(rtkit, nice -11\\)", {realtime, high}},
            {true, Refuse, Refuse, "normal \\(rtkit refused: .+\\)", {realtime, high}},
            // D-Bus waits 25 s for an answer by default; start-up must not.
            {true, Hang, Hang, "normal \\(rtkit refused: .+\\)", {realtime, high}},
            {false, Grant, Grant, "normal \\(rtkit not available: .+\\)", {}},
        };
        for (const auto& [present, realtimeAnswer, highAnswer, line, methods] : cases) {
            runAgainstRtkit(present, realtimeAnswer, highAnswer, line, methods);
            if (QTest::currentTestFailed())
                return;
        }
    }

    // A real-time event loop that is never idle (a flood) keeps real time, where
    // the kernel would drop it after 100 ms. One piece of work longer than that
    // loses it before it starves the desktop (and before the kernel kills the
    // process at the hard limit), which is said, and real time comes back once
    // the load is normal again.
    void realTimeOutlastsAFloodAndComesBack()
    {
        RecordingLog log;
        QString error;
        long floodCpuMs = 0;
        bool keptRealtime = true;
        int policyAfterLongWork = -1;
        int policyAtEnd = -1;
        qint64 suspendedToAgainMs = -1;
        std::thread server([&] {
            QEventLoop loop;
            const auto makeRealtime = [] {
                QString failure = limitRealtimeRun(200'000);
                return failure.isEmpty() ? setCallingThreadRealtime(10) : failure;
            };
            error = makeRealtime();
            if (!error.isEmpty())
                return;
            takeRealtimeSuspension(); // one left over from an earlier case
            RealtimeGuard guard(std::chrono::milliseconds(100), makeRealtime, log);

            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(12);
            QElapsedTimer sinceSuspended;
            QTimer watch;
            QObject::connect(&watch, &QTimer::timeout, [&] {
                if (!sinceSuspended.isValid() && !log.lines.isEmpty()) {
                    sinceSuspended.start();
                    policyAfterLongWork = policy();
                }
                // On a loaded machine the kernel may drop the thread once more
                // before it settles; what counts is that it comes back.
                const bool back = log.lines.size() >= 2 && policy() == SCHED_FIFO;
                if (back || std::chrono::steady_clock::now() > giveUp) {
                    suspendedToAgainMs = sinceSuspended.isValid() ? sinceSuspended.elapsed() : -1;
                    loop.quit();
                }
            });
            const auto longWork = [&] {
                spin(150);
                watch.start(20);
            };
            // Each turn has the next job waiting, so the loop never waits.
            const long floodStart = cpuMs();
            std::function<void()> job = [&] {
                spin(1);
                keptRealtime = keptRealtime && policy() == SCHED_FIFO;
                floodCpuMs = cpuMs() - floodStart;
                if (floodCpuMs < 600)
                    QMetaObject::invokeMethod(&loop, job, Qt::QueuedConnection);
                else
                    QTimer::singleShot(50, &loop, longWork);
            };
            QMetaObject::invokeMethod(&loop, job, Qt::QueuedConnection);
            loop.exec();
            policyAtEnd = policy();
        });
        server.join();
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY(floodCpuMs >= 600);
        QVERIFY(keptRealtime);
        QCOMPARE(policyAfterLongWork, SCHED_OTHER);
        QCOMPARE(log.lines.mid(0, 2),
                 QStringList({"Scheduling: real-time suspended: the network thread ran 100 ms "
                              "without a pause",
                              "Scheduling: real-time again"}));
        QVERIFY2(suspendedToAgainMs <= 5000, qPrintable(QString::number(suspendedToAgainMs)));
        QCOMPARE(policyAtEnd, SCHED_FIFO);
    }
};

QTEST_GUILESS_MAIN(SchedulingTest)
#include "tst_scheduling.moc"
