#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// What the user asked for on the command line.
struct CommandLineOptions
{
    bool headless = false;
    // Headless only: serve this computer, paired pages and trusted devices alone.
    bool pairedOnly = false;
};

struct CommandLine
{
    CommandLineOptions options;
    // Set when the program only prints `text` and ends: 0 for --help and
    // --version (standard output), 2 for a usage error (standard error).
    std::optional<int> exitCode;
    QString text;
};

// Parses the arguments (program name first) before any application object
// exists, so that --help and --version work without a display.
CommandLine parseCommandLine(const QStringList& arguments);
