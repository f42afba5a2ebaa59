#include "TestSupport.h"
#include "input/KeyMap.h"
#include "layouts/LayoutDocument.h"
#include "layouts/LayoutStore.h"

#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

namespace {

// This computer's address on the test's own LAN: a client that connects to
// it comes from it, and is a neighbour, not loopback.
const QString kLanAddress = QStringLiteral("10.56.0.1");

QByteArray controls(const QByteArray& mode, const QByteArray& list)
{
    return "{\"version\": 1, \"title\": \"T\", \"mode\": \"" + mode + "\", \"controls\": [" + list +
           "]}";
}

QByteArray control(const QByteArray& type, const QByteArray& rest = {})
{
    return "{\"type\": \"" + type + "\", \"x\": 0.1, \"y\": 0, \"w\": 1, \"h\": 0.5" + rest + "}";
}

QByteArray titled(const QByteArray& title)
{
    return "{\"version\": 1, \"title\": \"" + title + "\", \"mode\": \"keys\", \"controls\": [" +
           control("button", ", \"label\": \"Jump\", \"bind\": \" \"") + "]}";
}

// The server's answer to `request` from `host`, until it closed; empty when
// it closed without one.
QByteArray exchange(const QString& host, quint16 port, const QByteArray& request)
{
    QTcpSocket socket;
    socket.connectToHost(host, port);
    if (!socket.waitForConnected(5000))
        return "(no connection)";
    socket.write(request);
    QByteArray answer;
    const bool closed = QTest::qWaitFor(
        [&] {
            answer += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        5000);
    return closed ? answer + socket.readAll() : "(open)";
}

} // namespace

class LayoutsTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        useTemporarySettings();
        QVERIFY2(enterNetworkOfItsOwn(), "this test needs its own network namespace (root)");
        QVERIFY(sh("ip link add kst0 type veth peer name kst1 && ip addr add " + kLanAddress +
                   "/24 dev kst0 && ip link set kst0 up && ip link set kst1 up"));
    }

    void documents()
    {
        const QByteArray button = control("button", ", \"bind\": \"a\"");
        // Document, valid.
        const std::pair<QByteArray, bool> rows[] = {
            {controls("keys", ""), true},
            {controls("keys",
                      control("dpad", ", \"bind\": [\"up\", \"left\", \"down\", \"right\"]") + ',' +
                          control("stick", ", \"bind\": \"mouse\"") + ',' + control("touchpad") +
                          ',' + control("scroll") + ',' +
                          control("motion", ", \"bind\": \"wasd\"") + ',' +
                          control("button", ", \"bind\": \"btn_left\", \"label\": \"Fire\"")),
             true},
            {controls("pad", control("dpad") + ',' + control("stick", ", \"bind\": \"rs\"") + ',' +
                                 control("trigger", ", \"bind\": \"l2\"") + ',' + button + ',' +
                                 control("button", ", \"bind\": \"up\"")),
             true},
            {titled(QByteArray(64, 'x')), true},
            {"not json", false},
            {"[]", false},
            {"{\"version\": 2, \"title\": \"T\", \"mode\": \"keys\", \"controls\": []}", false},
            {"{\"version\": 1, \"title\": \"T\", \"mode\": \"mouse\", \"controls\": []}", false},
            {"{\"version\": 1, \"mode\": \"keys\", \"controls\": []}", false},
            {titled(""), false},
            {titled(QByteArray(65, 'x')), false},
            {"{\"version\": 1, \"title\": \"T\", \"mode\": \"keys\", \"controls\": [], \"x\": 1}",
             false},
            {controls("keys", (button + ',').repeated(64) + button), false},
            {controls("keys", "5"), false},
            {controls("keys", control("slider")), false},
            {controls("keys", "{\"type\": \"button\", \"x\": 1.5, \"y\": 0, \"w\": 1, \"h\": 1, "
                              "\"bind\": \"a\"}"),
             false},
            {controls("keys", "{\"type\": \"button\", \"x\": \"0\", \"y\": 0, \"w\": 1, \"h\": 1, "
                              "\"bind\": \"a\"}"),
             false},
            {controls("keys", "{\"type\": \"button\", \"x\": 0, \"y\": 0, \"w\": -0.1, \"h\": 1, "
                              "\"bind\": \"a\"}"),
             false},
            {controls("keys",
                      "{\"type\": \"button\", \"x\": 0, \"y\": 0, \"w\": 1, \"bind\": \"a\"}"),
             false},
            {controls("keys", control("button", ", \"bind\": \"a\", \"label\": \"" +
                                                    QByteArray(25, 'x') + "\"")),
             false},
            {controls("keys", control("button", ", \"bind\": \"a\", \"colour\": \"red\"")), false},
            {controls("keys", control("button", ", \"bind\": \"nosuchkey\"")), false},
            {controls("keys", control("button", ", \"bind\": \"-a\"")), false},
            {controls("keys", control("button")), false},
            {controls("keys", control("dpad", ", \"bind\": [\"up\", \"left\", \"down\"]")), false},
            {controls("keys", control("stick", ", \"bind\": \"ls\"")), false},
            {controls("keys", control("trigger", ", \"bind\": \"l2\"")), false},
            {controls("keys", control("touchpad", ", \"bind\": \"mouse\"")), false},
            {controls("keys", control("motion", ", \"bind\": \"ls\"")), false},
            {controls("pad", control("button", ", \"bind\": \"btn_left\"")), false},
            {controls("pad", control("button", ", \"bind\": \"A\"")), false},
            {controls("pad", control("stick", ", \"bind\": \"mouse\"")), false},
            {controls("pad", control("trigger", ", \"bind\": \"ls\"")), false},
            {controls("pad", control("touchpad")), false},
            {controls("pad", control("motion", ", \"bind\": \"mouse\"")), false},
            {controls("pad", control("button", "\x2c \"bind\": \"a\\nb\"")), false},
        };
        QList<QByteArray> wrong;
        for (const auto& [document, valid] : rows) {
            const CheckedLayout checked = checkLayout(document);
            if (checked.valid() != valid || checked.refusal.contains(u'\n'))
                wrong.append(document + " -> " + checked.refusal.toUtf8());
        }
        QVERIFY2(wrong.isEmpty(), wrong.join("\n").constData());

        RecordingLog log;
        LayoutStore store(QTemporaryDir().path(), log);
        const QList<LayoutEntry> builtins = store.list();
        QCOMPARE(builtins.size(), 4);
        for (const LayoutEntry& entry : builtins) {
            const CheckedLayout checked = checkLayout(store.read(entry.name).value_or(""));
            QVERIFY2(checked.valid() && entry.builtin,
                     qPrintable(entry.name + QStringLiteral(": ") + checked.refusal));
        }
    }

    // Each request in turn, with what the layouts' folder holds after it.
    void requests()
    {
        QTemporaryDir folder;
        ServerSettings settings = testSettings();
        settings.layoutsDirectory = folder.path() + QStringLiteral("/kestrelio/layouts");
        settings.frontDoor.headTimeout = 500ms;
        ServerHarness server(settings);
        const quint16 port = server.model->listeningPort();
        const QByteArray token = server.model->trust().store().addDevice(QStringLiteral("Phone"));

        enum From
        {
            Loopback,
            Lan,
        };
        const QByteArray doom = titled("Doom");
        const QByteArray json = "Content-Type: application/json\r\n";
        const auto put = [&json](const QByteArray& body) {
            return json + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        };
        struct Row
        {
            From from;
            QByteArray requestLine; // TOKEN stands for the device's token
            QByteArray rest;        // headers after Host, the blank line, the body
            int status;             // 0: closed without an answer
            QStringList files;
        };
        const QStringList none;
        const QStringList justDoom{"doom.json"};
        const QStringList both{"doom.json", "quake.json"};
        const Row rows[] = {
            {Lan, "GET /layouts", "\r\n", 200, none},
            {Lan, "PUT /layouts/doom", put(doom), 403, none},
            {Lan, "PUT /layouts/doom?device=wrong", put(doom), 403, none},
            {Lan, "PUT /layouts/doom", "Authorization: Bearer wrong\r\n" + put(doom), 403, none},
            {Lan, "PUT /layouts/doom?device=TOKEN", put(doom), 204, justDoom},
            {Lan, "PUT /layouts/doom", "Authorization: Bearer TOKEN\r\n" + put(titled("Doom 2")),
             204, justDoom},
            {Loopback, "PUT /layouts/quake", "Origin: http://evil.example\r\n" + put(doom), 403,
             justDoom},
            {Loopback, "PUT /layouts/quake",
             "Origin: http://127.0.0.1:PORT\r\n" + put(titled("Quake")), 204, both},
            {Loopback, "PUT /layouts/../quake", put(doom), 400, both},
            {Loopback, "PUT /layouts/..%2fquake", put(doom), 400, both},
            {Loopback, "PUT /layouts/Quake", put(doom), 400, both},
            {Loopback, "PUT /layouts/" + QByteArray(41, 'q'), put(doom), 400, both},
            {Loopback, "PUT /layouts/game-pad", put(doom), 409, both},
            {Loopback, "PUT /layouts/new", json + "\r\n" + doom, 411, both},
            {Loopback, "PUT /layouts/new",
             json + "Content-Length: 65537\r\n\r\n" + QByteArray(65537, ' '), 413, both},
            {Loopback, "PUT /layouts/new",
             "Content-Type: text/plain\r\nContent-Length: " + QByteArray::number(doom.size()) +
                 "\r\n\r\n" + doom,
             415, both},
            {Loopback, "PUT /layouts/new", put(titled("")), 400, both},
            {Loopback, "PUT /layouts/new", json + "Content-Length: 100\r\n\r\n" + doom.left(50), 0,
             both},
            {Lan, "GET /layouts/doom", "\r\n", 200, both},
            {Lan, "GET /layouts/../doom", "\r\n", 404, both},
            {Lan, "GET /layouts/new", "\r\n", 404, both},
            {Lan, "DELETE /layouts/doom", "\r\n", 403, both},
            {Loopback, "DELETE /layouts/game-pad", "\r\n", 409, both},
            {Lan, "DELETE /layouts/doom?device=TOKEN", "\r\n", 204, {"quake.json"}},
            {Loopback, "DELETE /layouts/doom", "\r\n", 404, {"quake.json"}},
        };
        QStringList wrong;
        for (const Row& row : rows) {
            const QString host = row.from == Lan ? kLanAddress : QStringLiteral("127.0.0.1");
            QByteArray request = row.requestLine + " HTTP/1.1\r\nHost: " + host.toLatin1() + ':' +
                                 QByteArray::number(port) + "\r\n" + row.rest;
            request.replace("TOKEN", token).replace("PORT", QByteArray::number(port));
            const QByteArray answer = exchange(host, port, request);
            const int status = answer.startsWith("HTTP/1.1 ") ? answer.mid(9, 3).toInt() : 0;
            const qsizetype head = answer.indexOf("\r\n\r\n");
            const QByteArray body = head < 0 ? QByteArray() : answer.sliced(head + 4);
            // A refusal says why in one line.
            const bool oneLine = status < 400 || (body.endsWith('\n') && body.count('\n') == 1);
            const QStringList files =
                QDir(settings.layoutsDirectory).entryList(QDir::Files | QDir::Hidden, QDir::Name);
            if (status != row.status || files != row.files || !oneLine)
                wrong.append(
                    QStringLiteral("%1 from %2: %3 %4, files %5")
                        .arg(row.requestLine, host)
                        .arg(status)
                        .arg(QString::fromUtf8(body.left(80)).trimmed(), files.join(u' ')));
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(u'\n')));

        const QStringList changes{
            "Layout \"Doom\" saved by 10.56.0.1", "Layout \"Doom 2\" saved by 10.56.0.1",
            "Layout \"Quake\" saved by 127.0.0.1", "Layout \"Doom 2\" deleted by 10.56.0.1"};
        QCOMPARE(server.log.lines.filter(u"Layout \""), changes);
        QCOMPARE(server.model->receivedMessages().first(), changes.last());
        QCOMPARE(QFile::permissions(settings.layoutsDirectory + "/quake.json"),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QCOMPARE(QFile::permissions(settings.layoutsDirectory),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser |
                     QFile::WriteUser | QFile::ExeUser);
    }

    // At most 100 are kept; a broken file is left out with one line, once.
    void storeLimits()
    {
        QTemporaryDir folder;
        RecordingLog log;
        LayoutStore store(folder.path(), log);
        for (int i = 0; i < LayoutStore::kMaxSaved - 1; ++i)
            QCOMPARE(store.save(QStringLiteral("l%1").arg(i), titled("L")).result,
                     LayoutStore::Saving::Result::Saved);
        QFile broken(folder.path() + QStringLiteral("/broken.json"));
        QVERIFY(broken.open(QIODevice::WriteOnly) && broken.write("{\"version\": 1,") > 0);
        broken.close();
        QCOMPARE(store.list().size(), 4 + LayoutStore::kMaxSaved - 1);
        QCOMPARE(store.list().size(), 4 + LayoutStore::kMaxSaved - 1);
        QCOMPARE(log.lines.size(), 1);
        QVERIFY2(log.lines.first().startsWith("Skipped the layout file " + broken.fileName()),
                 qPrintable(log.lines.first()));
        QCOMPARE(store.save(QStringLiteral("one-more"), titled("L")).result,
                 LayoutStore::Saving::Result::Full);
        QCOMPARE(store.save(QStringLiteral("l0"), titled("Again")).result,
                 LayoutStore::Saving::Result::Saved);
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden).size(),
                 LayoutStore::kMaxSaved);
        QString title;
        QCOMPARE(store.remove(QStringLiteral("broken"), title), LayoutStore::Removal::Removed);
        QCOMPARE(store.save(QStringLiteral("one-more"), titled("L")).result,
                 LayoutStore::Saving::Result::Saved);
    }
};

QTEST_GUILESS_MAIN(LayoutsTest)
#include "tst_layouts.moc"
