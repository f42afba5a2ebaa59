#include "ProgramProcess.h"
#include "QrDecoder.h"
#include "RawWebSocket.h"
#include "TestSupport.h"
#include "XTestSupport.h"
#include "pairing/QrCode.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <fcntl.h>
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
    void windowFollowsTheNetworkAtTwiceTheScale();
    void windowTellsTheTerminalThePortIsTaken();
    void findsTheAddressInANamespace();
    void servesItsNetworkAndLetsGoOfAVanishedPhone();
    void secondStartBringsTheWindowForward();
    void secondHeadlessStartSaysThePortIsServed();
    void windowOutlastsStrangersAndQuitsUnderChurn();
};

namespace {

// The address the program printed and what its terminal QR code says.
std::pair<QByteArray, QList<QByteArray>> printedPairing(ProgramProcess& program)
{
    if (!program.waitFor("Pairing address: "))
        return {};
    const qsizetype start = program.output.indexOf("Pairing address: ");
    const QByteArray drawing = QString::fromUtf16(kTerminalCodeStart).toUtf8();
    QStringList code;
    // A symbol has as many lines as half its width, rounded up.
    (void)QTest::qWaitFor(
        [&] {
            program.waitFor(drawing, 100);
            code.clear();
            for (const QByteArray& line : program.output.mid(start).split('\n')) {
                if (line.startsWith(drawing))
                    code.append(QString::fromUtf8(line));
                else if (!code.isEmpty())
                    break;
            }
            const qsizetype width = code.isEmpty() ? 0
                                                   : code.first().size() -
                                                         QStringView(kTerminalCodeStart).size() -
                                                         QStringView(kTerminalCodeEnd).size();
            return !code.isEmpty() && code.size() >= (width + 1) / 2;
        },
        15000);
    const QByteArray address = program.output.mid(start).split('\n').first().mid(17);
    return {address, decodeQrCodes(terminalToImage(code))};
}

// Whether the terminal code is the printed page link with a fresh secret.
bool showsPageCodeFor(const QByteArray& output, const QByteArray& address,
                      const QList<QByteArray>& decoded)
{
    const QRegularExpression line(
        QStringLiteral(
            "Controller page for a phone's browser: (http://%1:3330/#pair=[-_0-9A-Za-z]{22})\n")
            .arg(QRegularExpression::escape(QString::fromLatin1(address))));
    const QRegularExpressionMatch match = line.match(QString::fromLatin1(output));
    return match.hasMatch() && decoded == QList<QByteArray>{match.captured(1).toLatin1()};
}

// The program in a network of its own; `setup` runs there before it starts.
void startInItsOwnNetwork(ProgramProcess& program, const QString& setup)
{
    program.start({}, {"unshare", "-n", "sh", "-c", setup + " && exec \"$0\""});
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

QByteArray networkOf(const QString& pid)
{
    char target[64] = {};
    const ssize_t n = ::readlink(qPrintable(QStringLiteral("/proc/%1/ns/net").arg(pid)), target,
                                 sizeof target - 1);
    return n > 0 ? QByteArray(target, n) : QByteArray();
}

// `unshare -n` makes its namespace a moment after it starts: a link moved
// there any sooner would stay here.
bool inANetworkOfItsOwn(const ProgramProcess& program)
{
    return QTest::qWaitFor(
        [&] {
            const QByteArray its = networkOf(QString::number(program.pid()));
            return !its.isEmpty() && its != networkOf(QStringLiteral("self"));
        },
        10000);
}

const QUrl kServer(QStringLiteral("ws://127.0.0.1:3330"));

// Where KESTRELIO_SCREENSHOTS names a folder, what the test saw goes there too.
void keepScreenshot(const QImage& screen, const QString& name)
{
    if (const QString folder = qEnvironmentVariable("KESTRELIO_SCREENSHOTS"); !folder.isEmpty())
        QVERIFY(screen.save(folder + u'/' + name));
}

// A neighbour that opens WebSocket upgrades and drops each as soon as the
// server answers, over and over, on a few connections at once.
class Reconnector
{
public:
    Reconnector(const QString& server, int parallel) : server_(server)
    {
        for (int i = 0; i < parallel; ++i) {
            auto* socket = new QTcpSocket(&owner_);
            QObject::connect(socket, &QTcpSocket::connected, socket, [this, socket] {
                socket->write(RawWebSocket::upgradeRequest(server_.toLatin1() + ":3330"));
            });
            QObject::connect(socket, &QTcpSocket::readyRead, socket,
                             [this, socket] { again(socket); });
            QObject::connect(socket, &QTcpSocket::errorOccurred, socket,
                             [this, socket] { again(socket); });
            socket->connectToHost(server_, 3330);
        }
    }
    int reconnects = 0;
    bool running = true;

private:
    void again(QTcpSocket* socket)
    {
        ++reconnects;
        socket->abort();
        if (running)
            QMetaObject::invokeMethod(
                socket, [this, socket] { socket->connectToHost(server_, 3330); },
                Qt::QueuedConnection);
    }

    QString server_;
    QObject owner_;
};

} // namespace

void ProgramTest::initTestCase()
{
    QVERIFY2(enterNetworkOfItsOwn(),
             "the test needs a network namespace of its own (run it as root)");
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
    ProgramProcess program;
    program.start(arguments);
    QVERIFY(program.process.waitForFinished(5000));
    QCOMPARE(program.process.exitCode(), exitCode);
    const QByteArray out = program.process.readAllStandardOutput();
    const QByteArray err = program.process.readAllStandardError();
    QVERIFY2(out.startsWith(expectedStdout) && (expectedStdout.isEmpty() == out.isEmpty()),
             out.constData());
    QVERIFY2(err.startsWith(expectedStderr) && (expectedStderr.isEmpty() == err.isEmpty()),
             err.constData());
    if (exitCode == 0) {
        for (const char* option : {"--help", "--version", "--headless", "--paired-only"})
            QVERIFY2(out.contains(option), option);
    }
}

void ProgramTest::servesWithoutAnyWayToSendInput()
{
    ProgramProcess program;
    program.start();
    QVERIFY(program.waitFor("Server ready on port 3330\n"));
    // Linux has no System Preferences; the line on what to do here stands alone.
    QVERIFY2(!program.output.contains("System Preferences"), program.output.constData());
    const QByteArray noInput =
        "Key presses and scrolling cannot reach this computer (/dev/uinput: ";
    QVERIFY2(program.output.contains(noInput), program.output.constData());

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
    QCOMPARE(program.output.count(noInput), 1);
}

void ProgramTest::typesIntoAnXSessionAndLetsGoOnExit()
{
    XvfbServer xvfb;
    QVERIFY(xvfb.isRunning());
    XInputRecorder recorder(xvfb.displayName());
    QVERIFY(recorder.isReady());
    // Headless on request, although a display would open.
    ProgramProcess program({}, xvfb.displayName());
    program.start({"--headless"});
    QVERIFY(program.waitFor("Input backend: XTest on X display " + xvfb.displayName()));
    QVERIFY(program.waitFor("Server status: Server ready on port 3330\n"));
    QVERIFY(!program.output.contains("cannot reach this computer"));

    TestClient client(kServer);
    client.send("w");
    client.send("mouse 0 -1");
    QVERIFY(client.sync());
    QCOMPARE(recorder.take(2), QStringList({"press w", "button 5"}));

    // Interrupted while the key is down: it must not stay down in the session.
    QVERIFY(program.quit(SIGINT));
    QCOMPARE(recorder.take(1), QStringList{"release w"});
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
    const auto closePipe = qScopeGuard([&] {
        ::close(unread[0]);
        ::close(unread[1]);
    });
    ProgramProcess program({}, xvfb.displayName());
    program.process.setStandardOutputFile(QProcess::nullDevice());
    program.process.setChildProcessModifier([&] { ::dup2(unread[1], STDOUT_FILENO); });
    program.start();
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
    QVERIFY(program.quit());
    QVERIFY2(quitting.elapsed() < 2000, "SIGTERM took too long with standard output blocked");
}

void ProgramTest::windowFollowsTheNetworkAtTwiceTheScale()
{
    // 1280 by 720 at 200 %: 640 by 360 logical pixels for the whole window.
    XvfbServer xvfb(QStringLiteral("1280x720x24"));
    QVERIFY(xvfb.isRunning());
    // Started before the network is up: the test's namespace has loopback only.
    ProgramProcess program({"QT_SCALE_FACTOR=2"}, xvfb.displayName());
    program.start();
    QVERIFY(program.waitFor("Input backend: XTest on X display"));
    QVERIFY(program.waitFor("\nScheduling: real-time (SCHED_FIFO, priority 10)\n"));
    QVERIFY(program.waitFor("Failed to fetch IP Address\n"));
    QVERIFY(QTest::qWaitFor([&] { return !topLevelWindows(xvfb.displayName()).isEmpty(); }));

    QVERIFY(sh("ip link add kst0 type veth peer name kst1 && ip addr add 10.77.0.2/24 dev kst0 && "
               "ip link set kst1 up && ip link set kst0 up"));
    const auto removeLink = qScopeGuard([] { sh("ip link del kst0"); });
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
    keepScreenshot(screen, QStringLiteral("window-1280x720-200.png"));
    const QRect wholeScreen(QPoint(), screen.size());
    for (const QRect& window : topLevelWindows(xvfb.displayName()))
        QVERIFY(wholeScreen.contains(window));

    // Another network: the code follows, no click.
    QVERIFY(sh("ip addr add 10.99.0.2/24 dev kst0 && ip addr del 10.77.0.2/24 dev kst0"));
    QVERIFY(showsCode("10.99.0.2"));

    // Ctrl+Q quits, in order.
    QVERIFY(typeCtrlQ(xvfb.displayName(), topLevelWindows(xvfb.displayName()).first().center()));
    QVERIFY(program.process.waitForFinished(5000));
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 0);
}

void ProgramTest::windowTellsTheTerminalThePortIsTaken()
{
    XvfbServer xvfb;
    QVERIFY(xvfb.isRunning());
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::Any, 3330));
    ProgramProcess program({}, xvfb.displayName());
    program.start();
    const QByteArray failure =
        "Server status: Server failed with error: Port 3330 is in use by another program\n";
    QVERIFY(program.waitFor(failure));
    QTest::qWait(200);
    QCOMPARE(program.output.count(failure), 1);
}

void ProgramTest::findsTheAddressInANamespace()
{
    // Two networks; the default route with the lowest metric picks the address.
    ProgramProcess program;
    startInItsOwnNetwork(program, "ip link add kst0 type veth peer name kst1 && "
                                  "ip link add kst2 type veth peer name kst3 && "
                                  "ip addr add 10.77.0.2/24 dev kst0 && "
                                  "ip addr add 10.88.0.2/24 dev kst2 && "
                                  "for l in kst0 kst1 kst2 kst3; do ip link set $l up || exit 1; "
                                  "done && "
                                  "ip route add default via 10.77.0.1 dev kst0 metric 200 && "
                                  "ip route add default via 10.88.0.1 dev kst2 metric 100");
    const auto [printed, decoded] = printedPairing(program);
    QCOMPARE(printed, QByteArray("10.88.0.2"));
    QVERIFY2(showsPageCodeFor(program.output, printed, decoded), program.output.constData());
    QVERIFY(program.output.contains("Serving any client on this computer's local network"));

    // Headless, a new address is printed as it comes.
    program.output.clear();
    QVERIFY(sh(QStringLiteral("nsenter -t %1 -n sh -c 'ip addr add 10.66.0.2/24 dev kst2 && "
                              "ip addr del 10.88.0.2/24 dev kst2'")
                   .arg(program.pid())));
    const auto [changed, decodedAfter] = printedPairing(program);
    QCOMPARE(changed, QByteArray("10.66.0.2"));
    QVERIFY2(showsPageCodeFor(program.output, changed, decodedAfter), program.output.constData());
}

void ProgramTest::servesItsNetworkAndLetsGoOfAVanishedPhone()
{
    // The program in a namespace of its own, linked to the test's by a veth
    // pair on 10.77.0.0/24. The test also holds 198.51.100.7, which the
    // program reaches through a route, not on a network of its own.
    QVERIFY(sh("ip link add kstn0 type veth peer name kstn1 && "
               "ip addr add 10.77.0.1/24 dev kstn0 && ip addr add 198.51.100.7/32 dev kstn0 && "
               "ip link set kstn0 up"));
    const auto removeLink = qScopeGuard([] { sh("ip link del kstn0"); });
    ProgramProcess program;
    startInItsOwnNetwork(program, "for i in $(seq 500); do ip link show kstn1 >/dev/null 2>&1 "
                                  "&& break; sleep 0.05; done; ip link set lo up && "
                                  "ip addr add 10.77.0.2/24 dev kstn1 && ip link set kstn1 up && "
                                  "ip route add 198.51.100.0/24 via 10.77.0.1");
    QVERIFY(inANetworkOfItsOwn(program));
    QVERIFY(sh(QStringLiteral("ip link set kstn1 netns %1").arg(program.pid())));
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

    // A neighbour types, then vanishes without a word when the link goes down.
    TestClient neighbour(QUrl(QStringLiteral("ws://10.77.0.2:3330")));
    neighbour.send("w"); // and no pong, ever
    QVERIFY(neighbour.sync());
    QVERIFY(program.waitFor("Client connected from 10.77.0.1\n"));
    QVERIFY(program.waitFor("key pressed : 13\n"));
    QElapsedTimer sinceGone;
    sinceGone.start();
    QVERIFY(sh("ip link set kstn0 down"));
    QVERIFY2(program.waitFor("key released : 13\n", 25000), program.output.constData());
    qInfo("keys up %lld ms after the phone vanished", sinceGone.elapsed());
    QVERIFY(program.waitFor("Client disconnected from 10.77.0.1\n"));
    QCOMPARE(program.output.count("Rejected connection"), 1);
}

void ProgramTest::secondStartBringsTheWindowForward()
{
    XvfbServer xvfb(QStringLiteral("1920x1080x24"));
    QVERIFY(xvfb.isRunning());
    QVERIFY(sh("ip link add kst0 type veth peer name kst1 && ip addr add 10.77.0.2/24 dev kst0 && "
               "ip link set kst1 up && ip link set kst0 up"));
    const auto removeLink = qScopeGuard([] { sh("ip link del kst0"); });
    ProgramProcess first({}, xvfb.displayName());
    first.start();
    // On a 1080p screen the code is large enough to read from across a desk.
    QImage screen;
    QList<QRect> codes;
    QVERIFY(QTest::qWaitFor(
        [&] {
            screen = grabScreen(xvfb.displayName());
            codes = qrCodeAreas(screen);
            return codes.size() == 1;
        },
        10000));
    keepScreenshot(screen, QStringLiteral("window-1920x1080.png"));
    QVERIFY2(codes[0].width() >= 240 && codes[0].height() >= 240,
             qPrintable(QStringLiteral("%1x%2").arg(codes[0].width()).arg(codes[0].height())));

    ProgramProcess second({"XDG_RUNTIME_DIR=" + first.runtimeDirectory()}, xvfb.displayName());
    QElapsedTimer sinceStart;
    sinceStart.start();
    second.start();
    QVERIFY(second.process.waitForFinished(5000));
    QVERIFY2(sinceStart.elapsed() < 2000, qPrintable(QString::number(sinceStart.elapsed())));
    QCOMPARE(second.process.exitCode(), 0);
    QCOMPARE(second.process.readAllStandardOutput(),
             QByteArray("Kestrelio is already running; its window was brought to the front\n"));
    QVERIFY(first.waitFor("Another start of Kestrelio brought this window to the front\n"));
    QCOMPARE(topLevelWindows(xvfb.displayName()).size(), 1);
    QVERIFY(first.quit());
}

void ProgramTest::secondHeadlessStartSaysThePortIsServed()
{
    ProgramProcess first;
    first.start({"--headless"});
    QVERIFY(first.waitFor("Server ready on port 3330\n"));
    ProgramProcess second({"XDG_RUNTIME_DIR=" + first.runtimeDirectory()});
    second.start({"--headless"});
    QVERIFY(second.process.waitForFinished(5000));
    QCOMPARE(second.process.exitCode(), 1);
    QCOMPARE(second.process.readAllStandardOutput(),
             QByteArray("Kestrelio is already running and serves port 3330\n"));
    // The first goes on serving.
    TestClient client(kServer);
    QVERIFY(client.sync());
}

// Strangers wait for approval while another reconnects as fast as it can:
// the window stays on the screen, and SIGTERM still ends the program at once.
void ProgramTest::windowOutlastsStrangersAndQuitsUnderChurn()
{
    XvfbServer xvfb(QStringLiteral("1280x720x24"));
    QVERIFY(xvfb.isRunning());
    QVERIFY(sh("ip link add kstc0 type veth peer name kstc1 && "
               "ip addr add 10.79.0.1/24 dev kstc0 && ip link set kstc0 up"));
    const auto removeLink = qScopeGuard([] { sh("ip link del kstc0"); });
    ProgramProcess program({}, xvfb.displayName());
    startInItsOwnNetwork(program, "for i in $(seq 500); do ip link show kstc1 >/dev/null 2>&1 "
                                  "&& break; sleep 0.05; done; ip link set lo up && "
                                  "ip addr add 10.79.0.2/24 dev kstc1 && ip link set kstc1 up");
    QVERIFY(inANetworkOfItsOwn(program));
    QVERIFY(sh(QStringLiteral("ip link set kstc1 netns %1").arg(program.pid())));
    const bool shown =
        QTest::qWaitFor([&] { return !topLevelWindows(xvfb.displayName()).isEmpty(); }, 30000);
    program.output += program.process.readAllStandardOutput();
    QVERIFY2(shown, program.output.constData());
    const QRect screen(QPoint(), grabScreen(xvfb.displayName()).size());

    // Held for approval (or refused once too many wait).
    std::vector<std::unique_ptr<TestClient>> strangers;
    for (int i = 0; i < 60; ++i)
        strangers.push_back(std::make_unique<TestClient>(QUrl("ws://10.79.0.2:3330")));
    QVERIFY(program.waitFor("Client connected from 10.79.0.1\n"));

    Reconnector churn(QStringLiteral("10.79.0.2"), 16);
    QElapsedTimer churning;
    churning.start();
    // 2,000 in 4 s where the machine is fast enough; slower (sanitizers), at
    // least 400, enough to cost the window seconds if each were a rebuild.
    (void)QTest::qWaitFor(
        [&] {
            return churn.reconnects >= 2000 ||
                   (churning.elapsed() >= 4000 && churn.reconnects >= 400);
        },
        20000);
    qInfo("%d reconnects in %lld ms", churn.reconnects, churning.elapsed());
    QVERIFY2(churn.reconnects >= 400, qPrintable(QString::number(churn.reconnects)));
    for (const QRect& window : topLevelWindows(xvfb.displayName()))
        QVERIFY2(screen.contains(window),
                 qPrintable(QStringLiteral("%1x%2").arg(window.width()).arg(window.height())));

    QElapsedTimer quitting;
    quitting.start();
    ::kill(pid_t(program.pid()), SIGTERM);
    (void)QTest::qWaitFor([&] { return program.process.state() == QProcess::NotRunning; }, 5000);
    churn.running = false;
    qInfo("SIGTERM to exit: %lld ms", quitting.elapsed());
    QVERIFY2(quitting.elapsed() < 2000, qPrintable(QString::number(quitting.elapsed())));
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(ProgramTest)
#include "tst_program.moc"
