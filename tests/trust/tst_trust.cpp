#include "FakeInterfaces.h"
#include "ProgramProcess.h"
#include "RawWebSocket.h"
#include "TestSupport.h"
#include "common/AppSettings.h"
#include "common/SettingsFile.h"
#include "trust/LocalNetwork.h"
#include "trust/OneTimeCodes.h"
#include "trust/Secrets.h"
#include "ui/WebSocketServerView.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QNetworkInterface>
#include <QPushButton>
#include <QTcpSocket>
#include <QTest>

#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// A client on the LAN; a page sends the Origin it was served from. This
// computer's own addresses are its neighbours' too: a connection to 10.55.0.N
// comes from 10.55.0.N.
struct LanClient : TestClient
{
    LanClient(quint16 port, const QString& query = {}, bool page = false,
              const QString& host = QStringLiteral("10.55.0.1"), const QByteArray& userAgent = {})
        : TestClient(QUrl(QStringLiteral("ws://%1:%2/%3").arg(host).arg(port).arg(query)),
                     page ? QStringLiteral("http://%1:%2").arg(host).arg(port) : QString(),
                     userAgent)
    {}
};

// A socket opened in the network namespace at `netns` from `source`, then
// handed to Qt: a peer that is not this computer.
std::unique_ptr<QTcpSocket> connectFrom(const QString& netns, const QString& source,
                                        const QString& destination, quint16 port)
{
    const int home = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int there = ::open(qPrintable(netns), O_RDONLY | O_CLOEXEC);
    int fd = -1;
    if (home >= 0 && there >= 0 && ::setns(there, CLONE_NEWNET) == 0) {
        const QHostAddress from(source);
        sockaddr_in6 local{AF_INET6, 0, 0, {}, 0};
        sockaddr_in6 remote{AF_INET6, htons(port), 0, {}, 0};
        std::memcpy(&local.sin6_addr, from.toIPv6Address().c, 16);
        std::memcpy(&remote.sin6_addr, QHostAddress(destination).toIPv6Address().c, 16);
        local.sin6_scope_id = remote.sin6_scope_id =
            from.scopeId().isEmpty() ? 0
                                     : QNetworkInterface::interfaceIndexFromName(from.scopeId());
        fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
            ::close(fd);
            fd = -1;
        }
        ::setns(home, CLONE_NEWNET);
    }
    ::close(home);
    ::close(there);
    auto socket = std::make_unique<QTcpSocket>();
    if (fd >= 0)
        socket->setSocketDescriptor(fd);
    return socket;
}

// What the server answers a WebSocket upgrade on `socket`: its status line,
// or empty when it closed the connection unanswered.
QByteArray upgradeAnswer(QTcpSocket& socket)
{
    if (socket.state() != QAbstractSocket::ConnectedState)
        return "not connected";
    socket.write(RawWebSocket::upgradeRequest("[fd00:55::1]:3330"));
    if (!QTest::qWaitFor(
            [&] {
                return socket.state() != QAbstractSocket::ConnectedState ||
                       socket.peek(64).contains("\r\n");
            },
            5000))
        return "no answer";
    const QByteArray answer = socket.readAll();
    return answer.left(answer.indexOf("\r\n"));
}

// The token a page was given on pairing; empty when none.
QByteArray deviceToken(const TestClient& page)
{
    const QString first = page.received.value(0);
    return first.startsWith(u"DEVICE ") ? first.sliced(7).toLatin1() : QByteArray();
}

} // namespace

// Who may type. The connections run in a network namespace of the test's
// own, where this computer also answers as 10.55.0.1: a client reaching it
// there is a neighbour on the LAN, not loopback.
class TrustTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        useTemporarySettings();
        QVERIFY2(enterNetworkOfItsOwn(), "this test needs its own network namespace (root)");
        QVERIFY(
            sh("ip link add kst0 type veth peer name kst1 && "
               "ip addr add 10.55.0.1/24 dev kst0 && ip link set kst0 up && ip link set kst1 up"));
    }
    void init() { AppSettings().remove(QStringLiteral("trust")); }

    void addressRule()
    {
        const QString kst0 = QString::number(QNetworkInterface::interfaceIndexFromName("kst0"));
        QHostAddress linkLocal("fe80::1");
        linkLocal.setScopeId(kst0); // as getifaddrs names it
        const QList<AttachedNetwork> networks{{QHostAddress("192.168.1.20"), 24},
                                              {QHostAddress("10.8.0.1"), 32}, // point-to-point
                                              {QHostAddress("2001:db8:1::5"), 64},
                                              {linkLocal, 64}};
        const QStringList admitted{
            "192.168.1.0",      "192.168.1.255",  "::ffff:192.168.1.77",        "127.0.0.9", "::1",
            "::ffff:127.0.0.1", "2001:db8:1::99", "fe80::1c2:3ff:fe04:506%kst0"};
        // 2001:db8:2::/48 stands for a range a VPN routes through a link.
        const QStringList refused{"192.168.0.255",  "192.168.2.0",   "10.8.0.2", "::ffff:10.8.0.2",
                                  "2001:db8:77::2", "2001:db8:2::1", "fe80::9",  "fe80::9%lo"};
        QStringList wrong;
        for (const QString& peer : admitted + refused) {
            if (isOnLocalNetwork(QHostAddress(peer), networks) != admitted.contains(peer))
                wrong.append(peer);
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(u", ")));
    }

    // A VPN that routes all of 2000::/3 through a link, without a gateway,
    // makes no global peer local; a peer in this computer's own prefix is,
    // and so is one on the link's link-local addresses.
    void vpnRouteMakesNoPeerLocal()
    {
        const QString peerNet = QStringLiteral("kst-peer-%1").arg(::getpid());
        const QString netns = QStringLiteral("/run/netns/") + peerNet;
        QVERIFY(
            sh(QStringLiteral("ip link add kst2 type veth peer name kst3 && ip netns add %1 && "
                              "ip link set kst3 netns %1 && ip link set kst2 up && "
                              "ip -6 addr add fd00:55::1/64 dev kst2 nodad && "
                              "ip -6 addr add fe80::55:1/64 dev kst2 nodad && "
                              "ip -6 route add 2000::/3 dev kst2 && "
                              "ip netns exec %1 sh -c 'ip link set lo up && ip link set kst3 up && "
                              "ip -6 addr add fd00:55::2/64 dev kst3 nodad && "
                              "ip -6 addr add fe80::55:2/64 dev kst3 nodad && "
                              "ip -6 addr add 2001:db8:77::5/64 dev kst3 nodad && "
                              "ip -6 route add default dev kst3'")
                   .arg(peerNet)));
        const auto cleanUp = qScopeGuard([&] { sh("ip netns delete " + peerNet); });
        ServerHarness server;
        const quint16 port = server.model->listeningPort();

        auto neighbour = connectFrom(netns, "fd00:55::2", "fd00:55::1", port);
        QCOMPARE(upgradeAnswer(*neighbour), QByteArray("HTTP/1.1 101 Switching Protocols"));
        auto linkLocal = connectFrom(netns, "fe80::55:2%kst3", "fe80::55:1", port);
        QCOMPARE(upgradeAnswer(*linkLocal), QByteArray("HTTP/1.1 101 Switching Protocols"));
        auto global = connectFrom(netns, "2001:db8:77::5", "fd00:55::1", port);
        QCOMPARE(upgradeAnswer(*global), QByteArray());
        QTRY_COMPARE(server.log.lines.last(), "Rejected connection from 2001:db8:77::5: not on "
                                              "this computer's local network");
    }

    void judgesCredentials()
    {
        RecordingLog log;
        DeviceTrust trust(log);
        trust.store().trustAddress(QStringLiteral("192.168.1.40"));
        const QByteArray token = trust.store().addDevice(QStringLiteral("Phone"));
        using P = StrangerPolicy;
        using V = Admission::Verdict;
        const char* const lan = "192.168.1.30";
        // Peer, query, from a browser page, stranger policy, verdict, trusted.
        const std::tuple<const char*, QByteArray, bool, P, V, bool> rows[] = {
            {lan, "pair=" + trust.pairingSecret(), true, P::Refuse, V::Serve, true},
            {"127.0.0.1", "pair=0123", true, P::Serve, V::Refuse, false}, // even from loopback
            {lan, "pair=", true, P::Serve, V::Refuse, false},
            {lan, "device=" + token, true, P::Refuse, V::Serve, true},
            {lan, "device=feed", true, P::Ask, V::Refuse, false}, // an unknown token never asks
            {"::ffff:127.0.0.1", "", false, P::Refuse, V::Serve, true},
            {"192.168.1.40", "", false, P::Ask, V::Serve, true}, // a trusted app's address...
            {"192.168.1.40", "", true, P::Ask, V::Hold, false},  // ...is not its browser's
            {lan, "", false, P::Ask, V::Hold, false},
            {lan, "", false, P::Serve, V::Serve, false},
            {lan, "", false, P::Refuse, V::Refuse, false},
        };
        QStringList wrong;
        for (const auto& [peer, query, page, policy, verdict, trusted] : rows) {
            trust.setStrangerPolicy(policy);
            const Admission admission = trust.judge(QHostAddress(peer), "/?" + query, page);
            const bool paired = query.startsWith("pair=") && verdict == V::Serve;
            if (admission.verdict != verdict || admission.trusted != trusted ||
                admission.paired != paired)
                wrong.append(peer + (" ?" + query));
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(u", ")));
        QCOMPARE(trust.judge(QHostAddress(lan), "/?device=feed", true).reason,
                 QStringLiteral("unknown device token"));
    }

    // A code pairs once, within its lifetime; the oldest gives way to new ones.
    void oneTimeCodesPairOnce()
    {
        using namespace std::chrono;
        OneTimeCodes codes;
        const auto now = OneTimeCodes::Clock::now();
        const QByteArray oldest = codes.issue(now);
        const QByteArray code = codes.issue(now);
        QList<QByteArray> crowd;
        for (qsizetype i = 2; i < OneTimeCodes::kOutstanding + 1; ++i)
            crowd.append(codes.issue(now));
        // Code, when it is brought, whether it pairs.
        const std::tuple<QByteArray, OneTimeCodes::Clock::duration, bool> rows[] = {
            {oldest, 0s, false}, // crowded out by the 17th
            {code, 0s, true},
            {code, 0s, false}, // once only
            {crowd.first(), OneTimeCodes::kLifetime - 1s, true},
            {crowd.last(), OneTimeCodes::kLifetime, false},
            {"0123456789012345678901", 0s, false},
        };
        QStringList wrong;
        for (const auto& [brought, after, pairs] : rows) {
            if (codes.redeem(brought, now + after) != pairs)
                wrong.append(QString::fromLatin1(brought));
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(u", ")));
    }

    // One host cannot lock the owner out: trusted clients always get in,
    // strangers share bounded room, per address and waiting for approval.
    void admissionKeepsTheOwnerIn()
    {
        // Each its own primary, so that the kernel speaks from it.
        QVERIFY(sh("ip addr add 10.55.0.2/32 dev kst0 && ip addr add 10.55.0.3/32 dev kst0"));
        ServerSettings settings = testSettings();
        settings.frontDoor.maxClients = 6;
        settings.frontDoor.maxUntrustedPerAddress = 2;
        settings.frontDoor.maxUntrusted = 3;
        settings.frontDoor.maxHeld = 2;
        ServerHarness server(settings);
        DeviceTrust& trust = server.model->trust();
        const quint16 port = server.model->listeningPort();
        const QByteArray token = trust.store().addDevice(QStringLiteral("Phone"));
        const auto lastLine = [&server] {
            return server.log.lines.last();
        };
        const auto stranger = [port](const char* host) {
            return std::make_unique<LanClient>(port, QString(), false, host);
        };

        trust.setStrangerPolicy(StrangerPolicy::Ask);
        auto first = stranger("10.55.0.1");
        auto second = stranger("10.55.0.1");
        QTRY_COMPARE(server.model->roster().clients().size(), 2);
        QVERIFY(!stranger("10.55.0.1")->isConnected());
        QCOMPARE(lastLine(), "Rejected connection from 10.55.0.1: already 2 connections from "
                             "this address that are not trusted");
        QVERIFY(!stranger("10.55.0.2")->isConnected());
        QCOMPARE(lastLine(),
                 "Rejected connection from 10.55.0.2: already 2 devices waiting for approval");
        trust.setStrangerPolicy(StrangerPolicy::Serve);
        auto third = stranger("10.55.0.2");
        QVERIFY(third->sync());
        QVERIFY(!stranger("10.55.0.3")->isConnected());
        QCOMPARE(lastLine(), "Rejected connection from 10.55.0.3: already serving 3 clients that "
                             "are not trusted");

        // Three trusted fill the room; a fourth makes room by closing the
        // stranger connected longest.
        TestClient local(server.url());
        LanClient paired(port, "?pair=" + trust.pairingSecret(), true);
        LanClient known(port, "?device=" + token, true, "10.55.0.3");
        TestClient another(server.url());
        for (TestClient* client : {&local, static_cast<TestClient*>(&paired),
                                   static_cast<TestClient*>(&known), &another})
            QVERIFY(client->sync());
        QTRY_COMPARE(first->socket.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(int(first->socket.closeCode()), 1008);
        QCOMPARE(first->socket.closeReason(), "Room was needed for a trusted device");
        QVERIFY(second->isConnected() && third->isConnected());
        QVERIFY(!stranger("10.55.0.3")->isConnected());
        QCOMPARE(lastLine(), "Rejected connection from 10.55.0.3: already serving 6 clients");
        second->socket.close();
        QTRY_COMPARE(server.model->roster().clients().size(), 5);
        QVERIFY(stranger("10.55.0.3")->sync()); // a place is free again
    }

    // A guesser gets one line per reason and 10 s, then a count, and after
    // 20 wrong guesses is refused unasked; this computer is not.
    void guessersAreQuietedAndLockedOut()
    {
        QStringList lines;
        {
            ServerHarness server;
            const quint16 port = server.model->listeningPort();
            const QString secret = QString::fromLatin1(server.model->trust().pairingSecret());
            for (int i = 0; i < GuessLimiter::kWrongGuesses + 5; ++i)
                QVERIFY(
                    !LanClient(port, QStringLiteral("?pair=guess%1").arg(i), true).isConnected());
            QVERIFY(!LanClient(port, "?pair=" + secret, true).isConnected());
            QVERIFY(TestClient(QUrl(server.url().toString() + "/?pair=" + secret)).sync());
            server.model.reset();
            lines = server.log.lines;
        }
        // The counts come when their 10 s are over, or when the server goes.
        lines.removeAll("Client connected from 127.0.0.1");
        QCOMPARE(lines.mid(0, 3),
                 QStringList({"Rejected connection from 10.55.0.1: wrong pairing secret",
                              "Refusing 10.55.0.1 for 60 s: 20 wrong secrets or tokens within 10 s",
                              "Rejected connection from 10.55.0.1: too many wrong secrets or "
                              "tokens"}));
        QVERIFY(lines.contains("19 more refused from 10.55.0.1 in the last 10 s"));
        QVERIFY(lines.contains("5 more refused from 10.55.0.1 in the last 10 s"));
    }

    // The file is its owner's alone; one that no settings could fill, or
    // with lists beyond the caps, is set aside and the start goes on.
    void brokenSettingsAreSetAside()
    {
        const QString path = SettingsFile::path();
        const QString folder = QFileInfo(path).path();
        const auto copies = [&folder] {
            return QDir(folder).entryList({"kestrelio.conf.bad-*"}, QDir::Files);
        };
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
        QCOMPARE(copies().size(), 1);
        QCOMPARE(log.lines.last(),
                 QStringLiteral("The settings file %1 is larger than 1 MiB: moved aside as %2, "
                                "starting with defaults")
                     .arg(path, folder + u'/' + copies().first()));
        QVERIFY(QFile::remove(folder + u'/' + copies().first()));

        QStringList addresses;
        for (int i = 0; i < 40; ++i)
            addresses.append(QStringLiteral("192.168.1.%1").arg(i));
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("[trust]\naddresses=" + addresses.join(u", ").toLatin1() +
                       "\ndevices\\1\\name=Phone\ndevices\\1\\tokenHash=" + QByteArray(64, 'a') +
                       "\ndevices\\size=2000000000\n");
        }
        SettingsFile::prepare(log);
        {
            TrustStore store(log);
            QCOMPARE(store.devices().size(), 1);
            QCOMPARE(store.addresses(), addresses.mid(8));
            QCOMPARE(copies().size(), 1);
            QVERIFY(log.lines.last().endsWith(", the file as it was is " + folder + u'/' +
                                              copies().first()));
        }
        QCOMPARE(TrustStore(log).devices().size(), 1);
        QCOMPARE(copies().size(), 1); // the file is sound again
        QCOMPARE(mode(path), 0x6600);
        QVERIFY(QFile::remove(folder + u'/' + copies().first()));
    }

    // A file that cannot be written: pairing works for the session, and the
    // user is told the devices will be forgotten.
    void readOnlySettingsKeepPairingForTheSession()
    {
        ProgramProcess program;
        const QString folder =
            program.process.processEnvironment().value("XDG_CONFIG_HOME") + "/kestrelio";
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(sh("touch " + folder + "/kestrelio.conf"));
        program.start({"--headless"},
                      {"unshare", "-m", "sh", "-c",
                       QStringLiteral("mount --bind %1 %1 && mount -o remount,ro,bind %1 && "
                                      "exec \"$0\" \"$@\"")
                           .arg(folder)});
        QVERIFY(program.waitFor("#pair="));
        QVERIFY(program.waitFor("\n"));
        const QByteArray secret = program.output.mid(program.output.indexOf("#pair=") + 6, 22);
        LanClient page(3330, "?pair=" + secret, true);
        QVERIFY(page.sync());
        QVERIFY(!deviceToken(page).isEmpty());
        QVERIFY(program.waitFor("Paired devices cannot be saved: " + folder.toLatin1() +
                                "/kestrelio.conf is read-only\n"));
        LanClient back(3330, "?device=" + deviceToken(page), true);
        QVERIFY(back.sync());
        QVERIFY(program.quit());
    }

    // A page trades the secret for a token, which alone reconnects, also after
    // a new secret; only its hash is kept, and a reconnect writes nothing at
    // once. Pairing again replaces the page's token; at most 32 are kept. A
    // stranger nobody answers is closed, with nothing typed.
    void pageTradesTheSecretForATokenAndStrangersWait()
    {
        ServerSettings settings = testSettings();
        settings.approvalTimeout = 300ms; // 60 s in use
        QByteArray fileAfterPairing;
        {
            ServerHarness server(settings);
            DeviceTrust& trust = server.model->trust();
            trust.setStrangerPolicy(StrangerPolicy::Ask);
            quint16 port = server.model->listeningPort();
            const QString pair = "?pair=" + QString::fromLatin1(trust.pairingSecret());
            for (int i = 0; i < TrustStore::kMaxEntries + 3; ++i)
                QVERIFY(LanClient(port, pair, true).sync());
            QCOMPARE(trust.store().devices().size(), TrustStore::kMaxEntries);
            QCOMPARE(server.log.lines.count("Forgot the paired device Browser, seen least "
                                            "recently: at most 32 are kept"),
                     3);

            QByteArray firstToken;
            {
                LanClient page(port, pair, true);
                page.send("w");
                QVERIFY(page.sync());
                firstToken = deviceToken(page);
                QVERIFY(!firstToken.isEmpty());
                QCOMPARE(page.received.mid(1), QStringList({"INPUT ON", "HSK_DONE"}));
                QCOMPARE(server.events.keyTrace(), QStringList{"+13"});
            }
            LanClient again(port, pair + "&device=" + firstToken, true);
            QVERIFY(again.sync());
            const QByteArray token = deviceToken(again);
            QVERIFY(!token.isEmpty() && token != firstToken);
            QCOMPARE(trust.store().devices().size(), TrustStore::kMaxEntries);
            QCOMPARE(std::count_if(trust.store().devices().cbegin(), trust.store().devices().cend(),
                                   [&](const TrustedDevice& d) {
                                       return d.tokenHash == tokenHash(firstToken) ||
                                              d.tokenHash == tokenHash(token);
                                   }),
                     1);
            QVERIFY(!LanClient(port, "?device=" + firstToken, true).isConnected());

            QFile file(AppSettings().fileName());
            QVERIFY(file.open(QIODevice::ReadOnly));
            fileAfterPairing = file.readAll();
            QVERIFY(!fileAfterPairing.contains(token));
            QTest::qWait(20); // so that the new last-seen time differs
            QVERIFY(LanClient(port, "?device=" + token, true).sync());
            file.seek(0);
            QCOMPARE(file.readAll(), fileAfterPairing);

            // After a new secret the old one is refused, never held for approval.
            server.model->restartServer();
            QTRY_VERIFY(server.model->serverStatus().startsWith(u"Server ready"));
            port = server.model->listeningPort();
            LanClient back(port, "?device=" + token, true);
            QVERIFY(back.sync());
            QCOMPARE(back.received, QStringList({"INPUT ON", "HSK_DONE"}));
            QVERIFY(!LanClient(port, pair, true).isConnected());
            QCOMPARE(server.log.lines.last(),
                     "Rejected connection from 10.55.0.1: wrong pairing secret");

            LanClient app(port);
            app.send("hsk");
            app.send("w");
            QTRY_VERIFY(server.model->roster().firstHeld());
            QTRY_COMPARE(app.socket.state(), QAbstractSocket::UnconnectedState);
            QCOMPARE(int(app.socket.closeCode()), 1008);
            QVERIFY(app.received.isEmpty());
            QCOMPARE(server.events.keyTrace(), QStringList({"+13", "-13"})); // the page's only
            QTRY_COMPARE(server.model->roster().clients().size(), 2);        // again, back
        }
        // Written when the server goes.
        QFile file(AppSettings().fileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll() != fileAfterPairing);
    }

    void newAppWaitsForTheWindow()
    {
        RecordingEventLayer events;
        RecordingLog log;
        FakeSystem system;
        WebSocketServerView view(events, log, testSettings(), system.source());
        view.show();
        QTRY_VERIFY(view.viewModel().serverStatus().startsWith(u"Server ready"));
        const quint16 port = view.viewModel().listeningPort();
        auto* bar = view.findChild<QWidget*>("approvalBar");
        const auto click = [&view](const char* name) {
            auto* button = view.findChild<QPushButton*>(name);
            QVERIFY(button && button->isVisible());
            button->click();
        };
        QVERIFY(view.findChild<QCheckBox*>("askBeforeNewDevice")->isChecked());

        const auto barSays = [&view](const QString& device, const QString& waiting) {
            auto* more = view.findChild<QLabel*>("approvalWaiting");
            return view.findChild<QLabel*>("approvalQuestion")->text() ==
                       u"10.55.0.1 wants to control this computer" &&
                   view.findChild<QLabel*>("approvalDevice")->text() == device &&
                   (more->isVisible() ? more->text() : QString()) == waiting;
        };

        // They wait in turn; Deny answers the first shown: closed with 1008, nothing typed.
        LanClient denied(port);
        denied.send("w");
        denied.send("hsk");
        LanClient page(port, {}, true, QStringLiteral("10.55.0.1"),
                       "Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like "
                       "Gecko) Chrome/126.0.0.0 Mobile Safari/537.36");
        LanClient app(port);
        app.send("w");
        app.send("hsk");
        QTRY_VERIFY(bar->isVisible());
        QTRY_VERIFY(barSays("App", "2 more waiting"));
        click("deny");
        QTRY_COMPARE(denied.socket.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(int(denied.socket.closeCode()), 1008);
        QVERIFY(denied.received.isEmpty());
        QTRY_VERIFY(barSays("Android phone · Chrome", "1 more waiting"));
        click("deny");
        QTRY_COMPARE(page.socket.state(), QAbstractSocket::UnconnectedState);
        QTRY_VERIFY(barSays("App", ""));

        // Allowed: the held handshake is answered, what came before is dropped.
        QVERIFY(app.received.isEmpty());
        click("allow");
        QTRY_COMPARE(app.received, QStringList{"HSK_DONE"});
        app.send("a");
        QVERIFY(app.sync());
        QCOMPARE(events.keyTrace(), QStringList{"+0"});

        // The address is remembered for apps: the next one is served at once.
        LanClient second(port);
        QVERIFY(second.sync());
        QVERIFY(view.viewModel().trust().store().isTrustedAddress("10.55.0.1"));

        // Disconnect ends the first connection and lets go of its key.
        QTRY_COMPARE(view.findChildren<QPushButton*>("disconnect").size(), 2);
        view.findChildren<QPushButton*>("disconnect").first()->click();
        QTRY_COMPARE(app.socket.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(int(app.socket.closeCode()), 1000);
        QTRY_COMPARE(events.keyTrace(), QStringList({"+0", "-0"}));
        QVERIFY(second.isConnected());

        click("forgetAddress");
        QTRY_VERIFY(!view.viewModel().trust().store().isTrustedAddress("10.55.0.1"));
    }
};

QTEST_MAIN(TrustTest)
#include "tst_trust.moc"
