#pragma once

#include <QDate>
#include <QString>
#include <QStringList>

#include <optional>

// The command line of fwflash, read into a value. No widgets, no I/O.

struct FlashOptions
{
    enum class Format { Table, Json, Csv };

    QStringList ports;        // -p, in the order given
    QString imagePath;        // the one positional argument
    std::optional<int> limit; // --max-kb as bytes; none: the settings store decides
    QString jsonPath;         // --json; "-" for standard output
    QString expectVersion;    // --expect-version
    QString recordsUrl;       // --records; empty: the default store
    bool loop = false;        // --wait
    bool nextOnEnter = false; // --next-on-enter
    bool allowRepeat = false; // --allow-repeat
    bool quiet = false;       // -q, --quiet
    bool verbose = false;     // --verbose: the protocol trace
    bool force = false;       // --force: flash an image whose vector table looks wrong

    // --history
    QString unit; // --unit: the unit's serial number
    QDate since;  // --since: from this local day on; null: from the first record
    Format format = Format::Table;

    bool jsonToStdout() const { return jsonPath == QLatin1String("-"); }
};

struct FlashCommand
{
    enum class Action { Flash, ListPorts, History, Help, Version, UsageError };
    Action action = Action::UsageError;
    FlashOptions options;
    QString error;    // for UsageError: what is wrong, one line
    QString helpText; // --help's text
};

// Reads the arguments (the program name first). No widgets, no I/O.
FlashCommand parseFlashArguments(const QStringList &arguments);

// --max-kb: a whole number of KiB from 1 to 232, in bytes, capped at the bootloader's 237440;
// none for anything else. No widgets, no I/O.
std::optional<int> maxKbLimit(const QString &text);

// --expect-version: three or four dotted numbers. No widgets, no I/O.
bool isVersionText(const QString &text);
