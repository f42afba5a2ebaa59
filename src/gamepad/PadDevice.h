#pragma once

#include "common/DiagnosticLog.h"
#include "input/InputEventWriter.h"

#include <QObject>
#include <QString>

#include <memory>

// One player's virtual game pad as the system sees it.
class PadDevice : public QObject
{
    Q_OBJECT
public:
    virtual void writeFrame(const QList<InputEventWriter::Event>& events) = 0;

signals:
    // A game played a rumble effect: magnitudes as the kernel gives them
    // (0..65535), and how long it lasts.
    void rumble(quint16 strong, quint16 weak, quint16 milliseconds);
};

// Makes the pads, one per player.
class PadDeviceFactory
{
public:
    virtual ~PadDeviceFactory() = default;
    // Returns null, and why in `error`, when the pad cannot be made.
    virtual std::unique_ptr<PadDevice> create(int player, DiagnosticLog& log, QString& error) = 0;
};

// "Kestrelio pad N": the name games and the console show.
QString padName(int player);
