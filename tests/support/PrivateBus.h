#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A dbus-daemon of the test's own, as a session or a system bus, on which
// anyone may own and call anything. Its socket is a file, which every
// network namespace reaches.
class PrivateBus
{
public:
    enum class Kind
    {
        Session,
        System,
    };

    explicit PrivateBus(Kind kind = Kind::Session);
    ~PrivateBus();
    bool isRunning() const { return !address_.isEmpty(); }
    QString address() const { return address_; }

private:
    QTemporaryDir dir_;
    QProcess daemon_;
    QString address_;
};
