#include "TestSupport.h"
#include "XTestSupport.h"

#include <QProcess>
#include <QTcpServer>
#include <QTest>

#include <csignal>

// The program as a user starts it: the real port, stdout in a pipe.
class HeadlessTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void servesWithoutAnyWayToSendInput();
    void typesIntoAnXSessionAndLetsGoOnExit();
};

namespace {

class Program
{
public:
    explicit Program(const QByteArray& display)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        if (display.isEmpty())
            environment.remove(QStringLiteral("DISPLAY"));
        else
            environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(KESTRELIO_BINARY));
    }
    ~Program()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    bool waitFor(const QByteArray& text, int timeoutMs = 10000)
    {
        return QTest::qWaitFor(
            [&] {
                output += process.readAllStandardOutput();
                return output.contains(text);
            },
            timeoutMs);
    }

    QProcess process;
    QByteArray output;
};

const QUrl kServer(QStringLiteral("ws://127.0.0.1:3330"));

} // namespace

void HeadlessTest::init()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 3330))
        QSKIP("port 3330 is taken on this machine");
}

void HeadlessTest::servesWithoutAnyWayToSendInput()
{
    Program program({});
    QVERIFY(program.waitFor("Server ready on port 3330\n"));
    const QByteArray accessibility = "Accessibility permissions are not enabled. Please enable "
                                     "them in System Preferences.\n";
    QCOMPARE(program.output.count(accessibility), 1);
    const qsizetype hint = program.output.indexOf(accessibility) + accessibility.size();
    QVERIFY2(program.output.mid(hint).startsWith("Key presses and scrolling cannot reach this "
                                                 "computer (/dev/uinput: "),
             program.output.constData());

    TestClient client(kServer);
    client.send("W");
    client.send("-w");
    client.send("mouse 1 2");
    client.send("1\n2\u001b[2J");
    QVERIFY(client.sync());
    QVERIFY(program.waitFor("Invalid key"));
    const QByteArray expected = "key pressed : 13\n"
                                "key released : 13\n"
                                "Simulated scroll with x: 50.0, y: 100.0\n"
                                "Invalid key: 1\\n2\\u001b[2j\n";
    QVERIFY2(program.output.contains(expected), program.output.constData());
    QCOMPARE(program.output.count(accessibility), 1);
}

void HeadlessTest::typesIntoAnXSessionAndLetsGoOnExit()
{
    XvfbServer xvfb;
    QVERIFY(xvfb.isRunning());
    XInputRecorder recorder(xvfb.displayName());
    QVERIFY(recorder.isReady());
    Program program(xvfb.displayName());
    QVERIFY(program.waitFor("Server ready on port 3330\n"));
    QVERIFY(program.output.contains("Input backend: XTest on X display " + xvfb.displayName()));
    QVERIFY(!program.output.contains("Accessibility"));

    TestClient client(kServer);
    client.send("w");
    client.send("mouse 0 -1");
    QVERIFY(client.sync());
    QCOMPARE(recorder.take(2), QStringList({"press w", "button 5"}));

    // Interrupted while the key is down: it must not stay down in the session.
    ::kill(pid_t(program.process.processId()), SIGINT);
    QVERIFY(program.process.waitForFinished(5000));
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 0);
    QCOMPARE(recorder.take(1), QStringList{"release w"});
    program.output += program.process.readAllStandardOutput();
    QVERIFY(program.output.endsWith("key released : 13\n"));
}

QTEST_GUILESS_MAIN(HeadlessTest)
#include "tst_headless.moc"
