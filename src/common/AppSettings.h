#pragma once

#include <QSettings>

// Everything the program remembers lives in one file,
// $XDG_CONFIG_HOME/kestrelio/kestrelio.conf, each concern in its own group.
class AppSettings : public QSettings
{
public:
    AppSettings()
        : QSettings(QSettings::NativeFormat, QSettings::UserScope, "kestrelio", "kestrelio")
    {}
};
