#pragma once

#include <QString>

#include <memory>

// Every diagnostic of the program is one line; where it goes is the caller's choice.
class DiagnosticLog
{
public:
    virtual ~DiagnosticLog() = default;
    virtual void writeLine(const QString& line) = 0;
    // For the program's own drawings, which colour themselves with escape
    // sequences; never for text that came from outside.
    virtual void writeDrawingLine(const QString& line) { writeLine(line); }
};

// Writes each line to standard output, at once, from a thread of its own: a
// terminal that stops reading (Ctrl+S, a pipe nobody drains) never stalls the
// server. At most `kQueuedBytes` wait; beyond that lines are dropped and
// counted, and one line tells how many once output flows again.
class StdoutLog final : public DiagnosticLog
{
public:
    explicit StdoutLog(int fd = 1);
    // Gives the lines still queued a moment to go out, never longer.
    ~StdoutLog() override;
    void writeLine(const QString& line) override;
    void writeDrawingLine(const QString& line) override;

    static constexpr qsizetype kQueuedBytes = 256 * 1024;
    static constexpr qsizetype kMaxLineLength = 1000;

private:
    void enqueue(QByteArray bytes);

    struct Queue;
    std::shared_ptr<Queue> queue_;
};

// Lines carry text from the network (key names). Control characters in it are
// escaped, so that a client can neither split a line in two nor send escape
// sequences to the user's terminal.
QString escapeControlCharacters(const QString& line);

// At most `length` characters, the last of them "…" when text was cut.
QString shortened(const QString& text, qsizetype length);
