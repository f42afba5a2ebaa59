#include "TestSupport.h"

#include "input/KeyMap.h"

#include <QNetworkRequest>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sched.h>

void RecordingEventLayer::post(const InputEvent& event)
{
    posted.append({event});
}

QStringList RecordingEventLayer::keyTrace() const
{
    QStringList trace;
    for (const Posted& p : posted) {
        if (const auto* key = std::get_if<KeyEvent>(&p.event))
            trace.append((key->keyDown ? u'+' : u'-') + printedKeyCode(key->code));
    }
    return trace;
}

bool sh(const QString& script)
{
    QProcess process;
    process.start(QStringLiteral("sh"), {QStringLiteral("-c"), script});
    return process.waitForFinished(10000) && process.exitCode() == 0;
}

bool enterNetworkOfItsOwn()
{
    return ::unshare(CLONE_NEWNET) == 0 && sh(QStringLiteral("ip link set lo up"));
}

void useTemporarySettings()
{
    static QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
}

ServerSettings testSettings()
{
    useTemporarySettings();
    ServerSettings settings;
    settings.port = 0;
    settings.padDevices = std::make_shared<RecordingPadFactory>();
    return settings;
}

ServerHarness::ServerHarness(ServerSettings settings, EventLayer* layer)
    : pads(std::dynamic_pointer_cast<RecordingPadFactory>(settings.padDevices)),
      model(std::make_unique<WebSocketViewModel>(layer ? *layer : events, log, std::move(settings)))
{
    model->startServer();
    QTRY_VERIFY_WITH_TIMEOUT(model->serverStatus().startsWith(u"Server ready on port "), 5000);
}

QUrl ServerHarness::url() const
{
    return QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(model->listeningPort()));
}

QUrl ServerHarness::padUrl() const
{
    return QUrl(QStringLiteral("ws://127.0.0.1:%1/pad").arg(model->listeningPort()));
}

TestClient::TestClient(const QUrl& url, const QString& origin, const QByteArray& userAgent)
{
    QObject::connect(&socket, &QWebSocket::textMessageReceived,
                     [this](const QString& text) { received.append(text); });
    QNetworkRequest request(url);
    if (!origin.isEmpty())
        request.setRawHeader("Origin", origin.toUtf8());
    if (!userAgent.isEmpty())
        request.setRawHeader("User-Agent", userAgent);
    socket.open(request);
    QTRY_VERIFY_WITH_TIMEOUT(socket.state() != QAbstractSocket::ConnectingState, 5000);
}

bool TestClient::sync(int timeoutMs)
{
    const int before = count(QStringLiteral("HSK_DONE"));
    send(QStringLiteral("hsk"));
    return QTest::qWaitFor([&] { return count(QStringLiteral("HSK_DONE")) > before; }, timeoutMs);
}
