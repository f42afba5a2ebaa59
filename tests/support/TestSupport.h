#pragma once

#include "RecordingPads.h"
#include "common/DiagnosticLog.h"
#include "input/EventLayer.h"
#include "server/WebSocketViewModel.h"

#include <QList>
#include <QStringList>
#include <QUrl>
#include <QWebSocket>

#include <memory>

// Records every posted event in order.
class RecordingEventLayer final : public EventLayer
{
public:
    struct Posted
    {
        InputEvent event;
        friend bool operator==(const Posted&, const Posted&) = default;
    };

    void post(const InputEvent& event) override;

    // The key events posted, as "+13" for a key-down and "-13" for a key-up,
    // each key named as the log names it.
    QStringList keyTrace() const;

    QList<Posted> posted;
};

class RecordingLog final : public DiagnosticLog
{
public:
    void writeLine(const QString& line) override { lines.append(line); }
    QStringList lines;
};

// Points the settings at a directory of this test process's own, so no test
// reads or writes the user's; call before anything touches the settings.
void useTemporarySettings();

// Runs a shell script; whether it ended well within 10 s.
bool sh(const QString& script);

// Moves the test into a network namespace of its own, with loopback up, where
// port 3330 is always free. Needs root.
bool enterNetworkOfItsOwn();

// Test seams only: an ephemeral port, recording game pads (never the
// system's uinput) and, unless a test says otherwise, the production
// heartbeat and delays. Settings go to a temporary directory.
ServerSettings testSettings();

// A view model with a recording log, started and ready. Events go to the
// recording layer unless another layer is given.
struct ServerHarness
{
    explicit ServerHarness(ServerSettings settings = testSettings(), EventLayer* layer = nullptr);
    QUrl url() const;
    QUrl padUrl() const;

    std::shared_ptr<RecordingPadFactory> pads; // null when the settings bring other pads
    RecordingEventLayer events;
    RecordingLog log;
    std::unique_ptr<WebSocketViewModel> model;
};

// A real WebSocket client over loopback.
class TestClient
{
public:
    explicit TestClient(const QUrl& url, const QString& origin = {},
                        const QByteArray& userAgent = {});

    bool isConnected() const { return socket.state() == QAbstractSocket::ConnectedState; }
    void send(const QString& text) { socket.sendTextMessage(text); }
    // Messages are handled in order, so the answer to "hsk" means that every
    // message sent before it has been handled.
    bool sync(int timeoutMs = 5000);
    int count(const QString& text) const { return int(received.count(text)); }

    QWebSocket socket;
    QStringList received;
};
