#include "QrDecoder.h"
#include "TestSupport.h"
#include "XTestSupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

// The program as a user starts it: the real port, stdout in a pipe. The test
// runs in a network namespace of its own, where port 3330 is always free.
class ProgramTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void answersTheCommandLine_data();
    void answersTheCommandLine();
    void servesWithoutAnyWayToSendInput();
    void typesIntoAnXSessionAndLetsGoOnExit();
    void blockedOutputStallsNothing();
    void vanishedPhoneLetsGoOfItsKeys();
    void windowFollowsTheNetworkAtTwiceTheScale();
    void windowTellsTheTerminalThePortIsTaken();
    void findsTheAddressInANamespace();
    void servesOnlyItsOwnNetworks();
};

namespace {

class Program
{
public:
    explicit Program(const QByteArray& display, QStringList command = {KESTRELIO_BINARY},
                     const QStringList& settings = {}, int stdoutFd = -1)
    {
        if (stdoutFd >= 0) {
            process.setStandardOutputFile(QProcess::nullDevice());
            process.setChildProcessModifier([stdoutFd] { ::dup2(stdoutFd, STDOUT_FILENO); });
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // What the program remembers stays with this run.
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        for (const QString& setting : settings)
            environment.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        if (display.isEmpty())
            environment.remove(QStringLiteral("DISPLAY"));
        else
            environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
        process.setProcessEnvironment(environment);
        process.start(command.takeFirst(), command);
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

    // The address the program printed and what its terminal QR code says.
    std::pair<QByteArray, QList<QByteArray>> pairing()
    {
        if (!waitFor("Pairing address: "))
            return {};
        const qsizetype start = output.indexOf("Pairing address: ");
        (void)waitFor(QByteArray(kBlock).repeated(8) + "\n" + QByteArray(kUpperHalf).repeated(8));
        QList<QByteArray> lines = output.mid(start).split('\n');
        const QByteArray address = lines.takeFirst().mid(17);
        QStringList code;
        for (const QByteArray& line : lines) {
            const bool drawing = line.startsWith(kBlock) || line.startsWith(kUpperHalf);
            if (!drawing && !code.isEmpty())
                break;
            if (drawing)
                code.append(QString::fromUtf8(line));
        }
        return {address, decodeQrCodes(terminalToImage(code))};
    }

    // Runs `script` in the program's network namespace.
    bool inItsNetwork(const QString& script)
    {
        QProcess shell;
        shell.start("nsenter",
                    {"-t", QString::number(process.processId()), "-n", "sh", "-c", script});
        return shell.waitForFinished(10000) && shell.exitCode() == 0;
    }

    // Whether the terminal code is the printed page link with a fresh secret.
    bool showsPageCodeFor(const QByteArray& address, const QList<QByteArray>& decoded) const
    {
        const QRegularExpression line(
            QStringLiteral(
                "Controller page for a phone's browser: (http://%1:3330/#pair=[-_0-9A-Za-z]{22})\n")
                .arg(QRegularExpression::escape(QString::fromLatin1(address))));
        const QRegularExpressionMatch match = line.match(QString::fromLatin1(output));
        return match.hasMatch() && decoded == QList<QByteArray>{match.captured(1).toLatin1()};
    }

    static constexpr const char* kBlock = "\u2588";
    static constexpr const char* kUpperHalf = "\u2580";
    QTemporaryDir config;
    QProcess process;
    QByteArray output;
};

// The server is up once a connection gets through; a window says nothing on stdout.
bool waitForServer()
{
    return QTest::qWaitFor(
        [] {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, 3330);
            return probe.waitForConnected(100);
        },
        10000);
}

QByteArray networkOf(const QString& pid)
{
    char target[64] = {};
    const ssize_t n = ::readlink(qPrintable(QStringLiteral("/proc/%1/ns/net").arg(pid)), target,
                                 sizeof target - 1);
    return n > 0 ? QByteArray(target, n) : QByteArray();
}

// `unshare -n` makes its namespace a moment after it starts: a link moved
// there any sooner would stay here.
bool inANetworkOfItsOwn(const QProcess& process)
{
    return QTest::qWaitFor(
        [&] {
            const QByteArray its = networkOf(QString::number(process.processId()));
            return !its.isEmpty() && its != networkOf(QStringLiteral("self"));
        },
        10000);
}

const QUrl kServer(QStringLiteral("ws://127.0.0.1:3330"));

} // namespace

void ProgramTest::initTestCase()
{
    QVERIFY2(::unshare(CLONE_NEWNET) == 0,
             "the test needs a network namespace of its own (run it as root)");
    QVERIFY(sh("ip link set lo up"));
}

void ProgramTest::answersTheCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("expectedStdout");
    QTest::addColumn<QByteArray>("expectedStderr");

    QTest::newRow("help") << QStringList{"--help"} << 0
                          << QByteArray("Usage: kestrelio [options]\n") << QByteArray();
    QTest::newRow("unknown option")
        << QStringList{"--headless", "--bogus"} << 2 << QByteArray()
        << QByteArray("kestrelio: Unknown option 'bogus'.\nUsage: kestrelio [options]\n");
}

// Each answer comes at once, without a display and without starting a server.
void ProgramTest::answersTheCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, expectedStdout);
    QFETCH(QByteArray, expectedStderr);
    Program program({}, QStringList{KESTRELIO_BINARY} + arguments);
    QVERIFY(program.process.waitForFinished(5000));
    QCOMPARE(program.process.exitCode(), exitCode);
    const QByteArray out = program.process.readAllStandardOutput();
    const QByteArray err = program.process.readAllStandardError();
    QVERIFY2(out.startsWith(expectedStdout) && (expectedStdout.isEmpty() == out.isEmpty()),
             out.constData());
    QVERIFY2(err.startsWith(expectedStderr) && (expectedStderr.isEmpty() == err.isEmpty()),
             err.constData());
    if (exitCode == 0 && arguments.first() == "--help") {
        for (const char* option : {"--help", "--version", "--headless", "--paired-only"})
            QVERIFY2(out.contains(option), option);
    }
}

void ProgramTest::servesWithoutAnyWayToSendInput()
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

void ProgramTest::typesIntoAnXSessionAndLetsGoOnExit()
{
    XvfbServer xvfb;
    QVERIFY(xvfb.isRunning());
    XInputRecorder recorder(xvfb.displayName());
    QVERIFY(recorder.isReady());
    // Headless on request, although a display would open.
    Program program(xvfb.displayName(), {KESTRELIO_BINARY, "--headless"});
    QVERIFY(program.waitFor("Input backend: XTest on X display " + xvfb.displayName()));
    QVERIFY(program.waitFor("Server status: Server ready on port 3330\n"));
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

void ProgramTest::blockedOutputStallsNothing()
{
    XvfbServer xvfb;
    QVERIFY(xvfb.isRunning());
    XInputRecorder recorder(xvfb.displayName());
    QVERIFY(recorder.isReady());
    int unread[2];
    QVERIFY(::pipe2(unread, O_CLOEXEC) == 0);
    Program program(xvfb.displayName(), {KESTRELIO_BINARY}, {}, unread[1]);
    QVERIFY(waitForServer());

    // Far more lines than the pipe and the program's own queue hold.
    TestClient client(kServer);
    for (int i = 0; i < 4000; ++i) {
        client.send(QStringLiteral("t"));
        client.send(QString(250, u'\a')); // a key name of control characters
        client.send(QStringLiteral("-t"));
    }
    client.send("w");
    QVERIFY(client.sync(30000)); // slow under sanitizers, never stuck
    QVERIFY(recorder.take(8001, 30000).endsWith("press w"));
    client.socket.abort(); // the phone goes away
    QCOMPARE(recorder.take(1), QStringList{"release w"});

    QElapsedTimer quitting;
    quitting.start();
    ::kill(pid_t(program.process.processId()), SIGTERM);
    QVERIFY(program.process.waitForFinished(5000));
    QVERIFY2(quitting.elapsed() < 2000, "SIGTERM took too long with standard output blocked");
    QCOMPARE(program.process.exitCode(), 0);
    ::close(unread[0]);
    ::close(unread[1]);
}

void ProgramTest::vanishedPhoneLetsGoOfItsKeys()
{
    // The program in a namespace of its own, linked to the test's by a veth
    // pair; taking the link down makes the phone vanish without a word.
    QVERIFY(sh("ip link add kstv0 type veth peer name kstv1 && "
               "ip addr add 10.99.0.1/24 dev kstv0 && ip link set kstv0 up"));
    const QString setup = "for i in $(seq 200); do ip link show kstv1 >/dev/null 2>&1 && break; "
                          "sleep 0.05; done; ip link set lo up && "
                          "ip addr add 10.99.0.2/24 dev kstv1 && ip link set kstv1 up";
    Program program({}, {"unshare", "-n", "sh", "-c", setup + " && exec \"$0\"", KESTRELIO_BINARY});
    QVERIFY(inANetworkOfItsOwn(program.process));
    QVERIFY(sh(QStringLiteral("ip link set kstv1 netns %1").arg(program.process.processId())));
    QVERIFY(program.waitFor("Server ready on port 3330\n"));

    TestClient client(QUrl(QStringLiteral("ws://10.99.0.2:3330")));
    client.send("w"); // and no pong, ever
    QVERIFY(client.sync());
    QVERIFY(program.waitFor("key pressed : 13\n"));
    QElapsedTimer sinceGone;
    sinceGone.start();
    QVERIFY(sh("ip link set kstv0 down"));
    QVERIFY2(program.waitFor("key released : 13\n", 25000), program.output.constData());
    qInfo("keys up %lld ms after the phone vanished", sinceGone.elapsed());
    QVERIFY(sh("ip link del kstv0"));
}

void ProgramTest::windowFollowsTheNetworkAtTwiceTheScale()
{
    // 1280 by 720 at 200 %: 640 by 360 logical pixels for the whole window.
    XvfbServer xvfb(QStringLiteral("1280x720x24"));
    QVERIFY(xvfb.isRunning());
    // Started before the network is up: the test's namespace has loopback only.
    Program program(xvfb.displayName(), {KESTRELIO_BINARY}, {"QT_SCALE_FACTOR=2"});
    QVERIFY(program.waitFor("Input backend: XTest on X display"));
    QVERIFY(program.waitFor("\nScheduling: real-time (SCHED_FIFO, priority 10)\n"));
    QVERIFY(program.waitFor("Failed to fetch IP Address\n"));
    QVERIFY(QTest::qWaitFor([&] { return !topLevelWindows(xvfb.displayName()).isEmpty(); }));

    QVERIFY(sh("ip link add kst0 type veth peer name kst1 && ip addr add 10.77.0.2/24 dev kst0 && "
               "ip link set kst1 up && ip link set kst0 up"));
    QElapsedTimer sinceUp;
    sinceUp.start();
    QImage screen;
    const auto showsCode = [&](const QByteArray& address) {
        return QTest::qWaitFor(
            [&] {
                screen = grabScreen(xvfb.displayName());
                // The default code opens the page, paired.
                const QList<QByteArray> codes = decodeQrCodes(screen);
                return codes.size() == 1 &&
                       codes[0].startsWith("http://" + address + ":3330/#pair=");
            },
            5000);
    };
    QVERIFY(showsCode("10.77.0.2"));
    QVERIFY2(sinceUp.elapsed() < 2000, qPrintable(QString::number(sinceUp.elapsed())));
    const QRect wholeScreen(QPoint(), screen.size());
    for (const QRect& window : topLevelWindows(xvfb.displayName()))
        QVERIFY2(wholeScreen.contains(window), qPrintable(QStringLiteral("%1,%2 %3x%4")
                                                              .arg(window.x())
                                                              .arg(window.y())
                                                              .arg(window.width())
                                                              .arg(window.height())));

    // Another network: the code follows, no click.
    QVERIFY(sh("ip addr add 10.99.0.2/24 dev kst0 && ip addr del 10.77.0.2/24 dev kst0"));
    QVERIFY(showsCode("10.99.0.2"));

    // Ctrl+Q quits, in order.
    QVERIFY(typeCtrlQ(xvfb.displayName(), topLevelWindows(xvfb.displayName()).first().center()));
    QVERIFY(program.process.waitForFinished(5000));
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 0);
    QVERIFY(sh("ip link del kst0"));
}

void ProgramTest::windowTellsTheTerminalThePortIsTaken()
{
    XvfbServer xvfb;
    QVERIFY(xvfb.isRunning());
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::Any, 3330));
    Program program(xvfb.displayName());
    const QByteArray failure =
        "Server status: Server failed with error: The bound address is already in use\n";
    QVERIFY(program.waitFor(failure));
    QTest::qWait(200);
    QCOMPARE(program.output.count(failure), 1);
}

void ProgramTest::findsTheAddressInANamespace()
{
    // A namespace of the test's own, with two networks; the default route
    // with the lowest metric picks the address.
    const QString setup =
        "ip link add kst0 type veth peer name kst1 && "
        "ip link add kst2 type veth peer name kst3 && "
        "ip addr add 10.77.0.2/24 dev kst0 && ip addr add 10.88.0.2/24 dev kst2 && "
        "for l in kst0 kst1 kst2 kst3; do ip link set $l up || exit 1; done && "
        "ip route add default via 10.77.0.1 dev kst0 metric 200 && "
        "ip route add default via 10.88.0.1 dev kst2 metric 100";
    const QByteArray expected = "10.88.0.2";
    Program program({}, {"unshare", "-n", "sh", "-c", setup + " && exec \"$0\"", KESTRELIO_BINARY});
    const auto [printed, decoded] = program.pairing();
    QCOMPARE(printed, expected);
    QVERIFY2(program.showsPageCodeFor(expected, decoded), program.output.constData());
    QVERIFY(program.output.contains("Serving any client on this computer's local network"));

    // Headless, a new address is printed as it comes.
    const QByteArray afterChange = "10.66.0.2";
    program.output.clear();
    QVERIFY(program.inItsNetwork(
        "ip addr add 10.66.0.2/24 dev kst2 && ip addr del 10.88.0.2/24 dev kst2"));
    const auto [changed, decodedAfter] = program.pairing();
    QCOMPARE(changed, afterChange);
    QVERIFY2(program.showsPageCodeFor(afterChange, decodedAfter), program.output.constData());
}

void ProgramTest::servesOnlyItsOwnNetworks()
{
    // The program in a namespace of its own, linked to the test's by a veth
    // pair on 10.77.0.0/24. The test also holds 198.51.100.7, which the
    // program reaches through a route, not on a network of its own.
    QVERIFY(sh("ip link add kstn0 type veth peer name kstn1 && "
               "ip addr add 10.77.0.1/24 dev kstn0 && ip addr add 198.51.100.7/32 dev kstn0 && "
               "ip link set kstn0 up"));
    const QString setup = "for i in $(seq 500); do ip link show kstn1 >/dev/null 2>&1 && break; "
                          "sleep 0.05; done; ip link set lo up && "
                          "ip addr add 10.77.0.2/24 dev kstn1 && ip link set kstn1 up && "
                          "ip route add 198.51.100.0/24 via 10.77.0.1";
    Program program({}, {"unshare", "-n", "sh", "-c", setup + " && exec \"$0\"", KESTRELIO_BINARY});
    QVERIFY(inANetworkOfItsOwn(program.process));
    QVERIFY(sh(QStringLiteral("ip link set kstn1 netns %1").arg(program.process.processId())));
    // The program waits for its end of the pair first; slow under sanitizers.
    QVERIFY(program.waitFor("Server ready on port 3330\n", 30000));

    QTcpSocket outsider;
    outsider.bind(QHostAddress(QStringLiteral("198.51.100.7")));
    outsider.connectToHost(QStringLiteral("10.77.0.2"), 3330);
    outsider.write("GET / HTTP/1.1\r\nHost: 10.77.0.2:3330\r\n\r\n");
    QVERIFY(program.waitFor("Rejected connection from 198.51.100.7: not on this computer's "
                            "local network\n"));
    QTRY_COMPARE(outsider.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(outsider.readAll().isEmpty());

    {
        TestClient neighbour(QUrl(QStringLiteral("ws://10.77.0.2:3330")));
        QVERIFY(neighbour.sync());
        QVERIFY(program.waitFor("Client connected from 10.77.0.1\n"));
    }
    QVERIFY(program.waitFor("Client disconnected from 10.77.0.1\n"));
    QCOMPARE(program.output.count("Rejected connection"), 1);
    QVERIFY(sh("ip link del kstn0"));
}

QTEST_GUILESS_MAIN(ProgramTest)
#include "tst_program.moc"
