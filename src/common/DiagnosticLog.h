#pragma once

#include <QString>

// Every diagnostic of the program is one line; where it goes is the caller's choice.
class DiagnosticLog
{
public:
    virtual ~DiagnosticLog() = default;
    virtual void writeLine(const QString& line) = 0;
};

// Writes each line to standard output and flushes it at once, so that tools
// reading a pipe or a file see it live.
class StdoutLog final : public DiagnosticLog
{
public:
    void writeLine(const QString& line) override;
};

// Lines carry text from the network (key names). Control characters in it are
// escaped, so that a client can neither split a line in two nor send escape
// sequences to the user's terminal.
QString escapeControlCharacters(const QString& line);
