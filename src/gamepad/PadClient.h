#pragma once

#include <QString>

#include <optional>

// What a game pad needs of the connection that drives it: to answer it, to
// close it with a reason, and its address for the log.
class PadClient
{
public:
    // Returns the error's description when the text could not be sent.
    virtual std::optional<QString> send(const QString& text) = 0;
    virtual void close(int code, const QString& reason) = 0;
    virtual QString peerAddress() const = 0;

protected:
    ~PadClient() = default;
};
