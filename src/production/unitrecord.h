#pragma once

#include <QByteArray>
#include <QString>

// The record of one unit in the production loop: the image it was given, what the device said,
// the outcome. No widgets, no I/O.
namespace Production {

enum class Outcome { Success, Failed, VersionMismatch, Interrupted };

// "success", "failed", "version-mismatch", "interrupted". No widgets, no I/O.
QString outcomeName(Outcome outcome);

// The image as checked before any port is opened.
struct ImageFacts
{
    QString path;
    QString fileName;
    qint64 size = 0;
    QString sha256; // lower-case hexadecimal
    QString checkReason; // why the vector table looks wrong; empty when it looks plausible
};

// One device and attempt.
struct UnitRecord
{
    QString timeUtc; // when the attempt began, ISO 8601 with milliseconds and "Z"
    QString port;
    QString serialNumber; // empty when the system does not know it
    QString vidPid;       // "0403:6001", empty when unknown
    ImageFacts image;
    bool queried = false;   // the identification query ran
    QString identification; // its reply, empty when none came
    QString startCommand;   // "*FWUPD" or the legacy bytes in hexadecimal
    Outcome outcome = Outcome::Failed;
    QString reason; // empty on success
    qint64 durationMs = 0;
    int bytesSent = 0;
    QString expectedVersion; // --expect-version, empty without it
    bool readBack = false;   // the application answered after the update
    QString versionReadBack; // that answer
};

// Lower-case SHA-256 of the bytes. No widgets, no I/O.
QString sha256Hex(const QByteArray &bytes);

// "*FWUPD" for the firmware-update command, else the bytes as spaced hexadecimal pairs.
// No widgets, no I/O.
QString startCommandText(const QByteArray &command);

} // namespace Production
