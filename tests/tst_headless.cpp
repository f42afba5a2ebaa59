#include "TestSupport.h"

#include <QProcess>
#include <QTcpServer>
#include <QTest>

// The program as a user starts it: no display, the real port, stdout in a pipe.
class HeadlessTest : public QObject
{
    Q_OBJECT
private slots:
    void servesTheProtocolOnPort3330();
};

void HeadlessTest::servesTheProtocolOnPort3330()
{
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::Any, 3330))
            QSKIP("port 3330 is taken on this machine");
    }

    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(KESTRELIO_BINARY));
    QVERIFY(program.waitForStarted(5000));

    QByteArray output;
    const auto outputHas = [&](const QByteArray& text) {
        output += program.readAllStandardOutput();
        return output.contains(text);
    };
    QVERIFY(QTest::qWaitFor([&] { return outputHas("Server ready on port 3330\n"); }, 10000));

    TestClient client(QUrl(QStringLiteral("ws://127.0.0.1:3330")));
    client.send("W");
    client.send("-w");
    client.send("mouse 1 2");
    client.send("1\n2\u001b[2J");
    QVERIFY(client.sync());
    QVERIFY(QTest::qWaitFor([&] { return outputHas("Invalid key"); }, 5000));

    const QByteArray expected = "key pressed : 13\n"
                                "key released : 13\n"
                                "Simulated scroll with x: 50.0, y: 100.0\n"
                                "Invalid key: 1\\n2\\u001b[2j\n";
    QVERIFY2(output.contains(expected), output.constData());

    program.terminate();
    QVERIFY(program.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(HeadlessTest)
#include "tst_headless.moc"
