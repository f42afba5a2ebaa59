#include "TestSupport.h"
#include "input/ScrollSynthesizer.h"

#include <QTest>

class ScrollTest : public QObject
{
    Q_OBJECT
private slots:
    void parsesAndScales_data();
    void parsesAndScales();
    void formatsShortestRoundTrip_data();
    void formatsShortestRoundTrip();
    void reportsCreationFailures();
};

void ScrollTest::parsesAndScales_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("posted");
    QTest::addColumn<int>("vertical");
    QTest::addColumn<int>("horizontal");
    QTest::addColumn<QString>("line");

    const QString invalid = QStringLiteral("Invalid message format");
    QTest::newRow("whole units") << "mouse 1 2" << true << 100 << 50
                                 << "Simulated scroll with x: 50.0, y: 100.0";
    QTest::newRow("truncation toward zero")
        << "mouse -0.03 0.05" << true << 2 << -1 << "Simulated scroll with x: -1.5, y: 2.5";
    QTest::newRow("first token unexamined")
        << "xmouse 1 2" << true << 100 << 50 << "Simulated scroll with x: 50.0, y: 100.0";
    QTest::newRow("signs and exponent")
        << "mouse +1.5 -2e0" << true << -100 << 75 << "Simulated scroll with x: 75.0, y: -100.0";
    QTest::newRow("too few") << "mouse 1" << false << 0 << 0 << invalid;
    QTest::newRow("tab is no separator") << "mouse 1\t2" << false << 0 << 0 << invalid;
    QTest::newRow("inf") << "mouse inf 0" << false << 0 << 0 << invalid;
    QTest::newRow("beyond 32 bits") << "mouse 0 5e7" << false << 0 << 0 << invalid;
    QTest::newRow("within 32 bits")
        << "mouse 0 4e7" << true << 2000000000 << 0 << "Simulated scroll with x: 0.0, y: 2e+09";
}

void ScrollTest::parsesAndScales()
{
    QFETCH(QString, message);
    QFETCH(bool, posted);
    QFETCH(int, vertical);
    QFETCH(int, horizontal);
    QFETCH(QString, line);

    RecordingEventLayer events;
    RecordingLog log;
    ScrollSynthesizer scroll(events, log);
    scroll.handleMouseMessage(message);

    QCOMPARE(log.lines, QStringList{line});
    QCOMPARE(events.posted.size(), posted ? 1 : 0);
    if (posted) {
        QCOMPARE(events.posted[0].tap, TapLocation::Hid);
        QCOMPARE(std::get<ScrollEvent>(events.posted[0].event),
                 (ScrollEvent{vertical, horizontal}));
    }
}

void ScrollTest::formatsShortestRoundTrip_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("float tenth") << 0.1f << "0.1";
    QTest::newRow("scaled tenth") << 0.1f * 50.0f << "5.0";
    QTest::newRow("negative zero") << -0.0f << "-0.0";
}

void ScrollTest::formatsShortestRoundTrip()
{
    QFETCH(float, value);
    QFETCH(QString, text);
    QCOMPARE(formatScrollAmount(value), text);
    QCOMPARE(text.toFloat(), value);
}

void ScrollTest::reportsCreationFailures()
{
    RecordingEventLayer events;
    RecordingLog log;
    ScrollSynthesizer scroll(events, log);
    events.failScrollEvent = true;
    scroll.handleMouseMessage("mouse 1 1");
    events.failSource = true;
    scroll.handleMouseMessage("mouse 1 1");
    QVERIFY(events.posted.isEmpty());
    QCOMPARE(log.lines,
             QStringList({"Failed to create scroll event", "Failed to create CGEventSource"}));
}

QTEST_GUILESS_MAIN(ScrollTest)
#include "tst_scroll.moc"
