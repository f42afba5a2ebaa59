#pragma once

#include "ui/DeviceListingFeed.h"

#include <QObject>

#include <functional>
#include <optional>
#include <type_traits>

class WebSocketViewModel;

// The window's one way to the server, which lives on the network thread.
// Reads return copies and commands take values; each runs on the server's
// thread while the window waits. Nothing here hands out a reference to an
// object of that thread, so the window cannot keep one. The server's changes
// arrive as this object's signals, queued to the window's thread.
class ServerAccess : public QObject
{
    Q_OBJECT
public:
    using Runner = std::function<void(const std::function<void()>& work)>;

    // `runner` runs work on the server's thread and returns when it is done;
    // without one the server lives on this thread and work runs in place.
    explicit ServerAccess(WebSocketViewModel& server, Runner runner = {},
                          QObject* parent = nullptr);
    ~ServerAccess() override;

    struct Statuses
    {
        QString server;
        QString connection;
        std::optional<QString> keyPress;
    };
    struct GamePads
    {
        int count = 0;
        bool off = false;
    };
    Statuses statuses() const;
    QStringList newestMessages(int count) const;
    GamePads gamePads() const;
    QByteArray pairingSecret() const;
    QString trustSaveProblem() const;
    QString certificateFingerprint() const;
    // The newest copy of the device lists; it never waits for the server.
    DeviceListing devices() const;

    void startServer();
    void restartServer();
    void showInput(const std::optional<QString>& summary, const std::optional<QString>& offReason);
    void setAskBeforeNewDevice(bool ask);
    void allow(int clientId);
    void deny(int clientId);
    void disconnectClient(int clientId);
    void forgetDevice(const QByteArray& tokenHash);
    void forgetAddress(const QString& address);
    // Makes sure the https certificate names the address the code shows.
    void coverPairingAddress(const QString& address);
    // Lets go of every key a phone still holds, for shutdown.
    void releaseAllKeys();

signals:
    void statusesChanged();
    void messagesChanged();
    void gamePadsChanged();
    void devicesChanged();
    void trustSaveProblemChanged();
    void certificateChanged();

private:
    template <typename Work> std::invoke_result_t<Work&> call(Work&& work) const
    {
        using Result = std::invoke_result_t<Work&>;
        if constexpr (std::is_void_v<Result>) {
            run(work);
        } else {
            std::optional<Result> result;
            run([&] { result.emplace(work()); });
            return std::move(*result);
        }
    }
    void run(const std::function<void()>& work) const;

    WebSocketViewModel& server_;
    Runner runner_;
    DeviceListingFeed* feed_ = nullptr; // on the server's thread
};
