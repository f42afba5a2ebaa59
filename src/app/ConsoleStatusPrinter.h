#pragma once

#include "common/DiagnosticLog.h"

#include <QObject>
#include <QString>

class WebSocketViewModel;

// Without a window, the statuses it would show are printed as they change.
class ConsoleStatusPrinter : public QObject
{
    Q_OBJECT
public:
    ConsoleStatusPrinter(const WebSocketViewModel& model, DiagnosticLog& log,
                         QObject* parent = nullptr);

private:
    void printIfChanged(DiagnosticLog& log, const QString& line);

    QString lastServerLine_;
    QString lastConnectionLine_;
};
