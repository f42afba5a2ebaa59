#include "QrDecoder.h"
#include "TestSupport.h"
#include "XTestSupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// The program as a user starts it: the real port, stdout in a pipe.
class ProgramTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void servesWithoutAnyWayToSendInput();
    void typesIntoAnXSessionAndLetsGoOnExit();
    void windowFollowsTheNetworkAtTwiceTheScale();
    void portTakenShowsARedFailureAndNoCode();
    void findsTheAddressInANamespace_data();
    void findsTheAddressInANamespace();
};

namespace {

class Program
{
public:
    explicit Program(const QByteArray& display, QStringList command = {KESTRELIO_BINARY},
                     const QStringList& settings = {})
    {
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

    static constexpr const char* kBlock = "\u2588";
    static constexpr const char* kUpperHalf = "\u2580";
    QTemporaryDir config;
    QProcess process;
    QByteArray output;
};

bool canMakeNetworkNamespaces()
{
    QProcess probe;
    probe.start("unshare", {"-n", "true"});
    return probe.waitForFinished(5000) && probe.exitCode() == 0;
}

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

const QUrl kServer(QStringLiteral("ws://127.0.0.1:3330"));

} // namespace

void ProgramTest::init()
{
    // The tests in namespaces of their own have their own port 3330.
    const QByteArray test = QTest::currentTestFunction();
    if (test.startsWith("windowFollows") || test.startsWith("portTaken") ||
        test.startsWith("findsTheAddress"))
        return;
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 3330))
        QSKIP("port 3330 is taken on this machine");
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
    Program program(xvfb.displayName());
    QVERIFY(program.waitFor("Input backend: XTest on X display " + xvfb.displayName()));
    QVERIFY(!program.output.contains("Accessibility"));

    QVERIFY(waitForServer());
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

void ProgramTest::windowFollowsTheNetworkAtTwiceTheScale()
{
    if (!canMakeNetworkNamespaces())
        QSKIP("this machine does not let the test make a network namespace (unshare -n)");
    // 1280 by 720 at 200 %: 640 by 360 logical pixels for the whole window.
    XvfbServer xvfb(QStringLiteral("1280x720x24"));
    QVERIFY(xvfb.isRunning());
    // Started before the network is up: loopback only.
    Program program(
        xvfb.displayName(),
        {"unshare", "-n", "sh", "-c", "ip link set lo up && exec \"$0\"", KESTRELIO_BINARY},
        {"QT_SCALE_FACTOR=2"});
    QVERIFY(program.waitFor("Input backend: XTest on X display"));
    QVERIFY(program.waitFor("Failed to fetch IP Address\n"));
    QVERIFY(QTest::qWaitFor([&] { return !topLevelWindows(xvfb.displayName()).isEmpty(); }));

    QVERIFY(program.inItsNetwork(
        "ip link add kst0 type veth peer name kst1 && ip addr add 10.77.0.2/24 dev kst0 && "
        "ip link set kst1 up && ip link set kst0 up"));
    QElapsedTimer sinceUp;
    sinceUp.start();
    QImage screen;
    const auto showsCode = [&](const QByteArray& address) {
        return QTest::qWaitFor(
            [&] {
                screen = grabScreen(xvfb.displayName());
                return decodeQrCodes(screen) == QList<QByteArray>{address};
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
    QVERIFY(program.inItsNetwork(
        "ip addr add 10.99.0.2/24 dev kst0 && ip addr del 10.77.0.2/24 dev kst0"));
    QVERIFY(showsCode("10.99.0.2"));

    // Ctrl+Q quits, in order.
    QVERIFY(typeCtrlQ(xvfb.displayName(), topLevelWindows(xvfb.displayName()).first().center()));
    QVERIFY(program.process.waitForFinished(5000));
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 0);
}

void ProgramTest::portTakenShowsARedFailureAndNoCode()
{
    if (!canMakeNetworkNamespaces())
        QSKIP("this machine does not let the test make a network namespace (unshare -n)");
    XvfbServer xvfb;
    QVERIFY(xvfb.isRunning());
    // In a namespace with an address to offer, a headless copy holds port 3330
    // first; the namespace's processes all end with the test's (a PID namespace).
    const QString script =
        "set -e; ip link set lo up; ip link add kst0 type veth peer name kst1; "
        "ip addr add 10.77.0.2/24 dev kst0; ip link set kst0 up; ip link set kst1 up; "
        "env -u DISPLAY \"$0\" >/dev/null 2>&1 & "
        "for i in $(seq 200); do cat /proc/net/tcp* | grep -q ':0D02 [0-9A-F]*:0000 0A' && break; "
        "sleep 0.05; done; \"$0\"";
    Program program(xvfb.displayName(), {"unshare", "-n", "-p", "-f", "--kill-child", "sh", "-c",
                                         script, KESTRELIO_BINARY});
    const QByteArray failure =
        "Server status: Server failed with error: The bound address is already in use\n";
    QVERIFY(program.waitFor("Input backend: XTest on X display"));
    QVERIFY(program.waitFor(failure));
    QVERIFY(QTest::qWaitFor([&] { return !topLevelWindows(xvfb.displayName()).isEmpty(); }));
    QTest::qWait(500); // the window has drawn, and would have drawn a code by now
    const QImage screen = grabScreen(xvfb.displayName());
    QVERIFY(decodeQrCodes(screen).isEmpty());
    int red = 0;
    for (int y = 0; y < screen.height(); ++y) {
        for (int x = 0; x < screen.width(); ++x) {
            const QColor pixel = screen.pixelColor(x, y);
            red += pixel.red() > 140 && pixel.green() < 60 && pixel.blue() < 60;
        }
    }
    QVERIFY2(red > 50, qPrintable(QString::number(red)));
    QCOMPARE(program.output.count(failure), 1);
}

void ProgramTest::findsTheAddressInANamespace_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QByteArray>("expected");

    const QString links =
        "ip link add kst0 type veth peer name kst1 && "
        "ip link add kst2 type veth peer name kst3 && "
        "ip addr add 10.77.0.2/24 dev kst0 && ip addr add 10.88.0.2/24 dev kst2 && "
        "for l in kst0 kst1 kst2 kst3; do ip link set $l up || exit 1; done";
    QTest::newRow("lowest-metric default route")
        << links + " && ip route add default via 10.77.0.1 dev kst0 metric 200"
                   " && ip route add default via 10.88.0.1 dev kst2 metric 100"
        << QByteArray("10.88.0.2");
    QTest::newRow("no default route")
        << links + " && ip link set kst0 down" << QByteArray("10.88.0.2");
}

void ProgramTest::findsTheAddressInANamespace()
{
    QFETCH(QString, setup);
    QFETCH(QByteArray, expected);
    if (!canMakeNetworkNamespaces())
        QSKIP("this machine does not let the test make a network namespace (unshare -n)");

    // A namespace of the test's own, with interfaces and routes of its choosing.
    Program program({}, {"unshare", "-n", "sh", "-c", setup + " && exec \"$0\"", KESTRELIO_BINARY});
    const auto [printed, decoded] = program.pairing();
    QCOMPARE(printed, expected);
    QCOMPARE(decoded, QList<QByteArray>{expected});

    // Headless, a new address is printed as it comes.
    const QByteArray afterChange = "10.66.0.2";
    program.output.clear();
    QVERIFY(program.inItsNetwork(
        "ip addr add 10.66.0.2/24 dev kst2 && ip addr del 10.88.0.2/24 dev kst2"));
    const auto [changed, decodedAfter] = program.pairing();
    QCOMPARE(changed, afterChange);
    QCOMPARE(decodedAfter, QList<QByteArray>{afterChange});
}

QTEST_GUILESS_MAIN(ProgramTest)
#include "tst_program.moc"
