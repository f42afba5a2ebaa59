#pragma once

#include "gamepad/PadDevice.h"

#include <QList>
#include <QPointer>

// A pad that writes each frame it gets to the log as one line, e.g.
// "pad 1: ABS_X 32767 ABS_Y 0", and can play a rumble as a game would.
class RecordingPad final : public PadDevice
{
    Q_OBJECT
public:
    RecordingPad(int player, DiagnosticLog& log) : player_(player), log_(log) {}

    void writeFrame(const QList<InputEventWriter::Event>& events) override;
    void playRumble(quint16 strong, quint16 weak, quint16 milliseconds)
    {
        emit rumble(strong, weak, milliseconds);
    }
    int player() const { return player_; }

private:
    int player_;
    DiagnosticLog& log_;
};

// Makes recording pads without a kernel, or fails with `failure` when it is set.
class RecordingPadFactory final : public PadDeviceFactory
{
public:
    std::unique_ptr<PadDevice> create(int player, DiagnosticLog& log, QString& error) override;

    QString failure;
    // The pads made so far; a pad removed is null.
    QList<QPointer<RecordingPad>> pads;
};
