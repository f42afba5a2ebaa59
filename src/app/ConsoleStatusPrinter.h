#pragma once

#include "common/DiagnosticLog.h"

#include <QObject>

class WebSocketViewModel;

// Without a window, the statuses it would show are printed as they change.
class ConsoleStatusPrinter : public QObject
{
    Q_OBJECT
public:
    ConsoleStatusPrinter(const WebSocketViewModel& model, DiagnosticLog& log,
                         QObject* parent = nullptr);
};
