#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The command line of fwflash, read into a value. No widgets, no I/O.

struct FlashOptions
{
    QStringList ports;        // -p, in the order given
    QString imagePath;        // the one positional argument
    std::optional<int> limit; // --max-kb as bytes; none: the settings store decides
    QString jsonPath;         // --json
    QString expectVersion;    // --expect-version
    bool loop = false;        // --wait
    bool nextOnEnter = false; // --next-on-enter
    bool quiet = false;       // --quiet
    bool force = false;       // --force: flash an image whose vector table looks wrong
};

struct FlashCommand
{
    enum class Action { Flash, ListPorts, Help, Version, UsageError };
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
