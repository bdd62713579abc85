#pragma once

#include "update/portdiscovery.h"

#include <QByteArray>
#include <QList>
#include <QString>

// What the command-line flasher records and shows: the unit record and its JSON line, the
// summary and port tables, the progress line, the exit status. No widgets, no I/O.
namespace FlashReport {

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

// The record as one line of JSON with its line feed. Unknown values are null; the read-back
// fields appear only when a version was expected. No widgets, no I/O.
QByteArray jsonLine(const UnitRecord &record);

// 0 when every device was updated, 1 when any failed, 130 when interrupted. No widgets, no I/O.
int exitStatus(const QList<Outcome> &outcomes, bool interrupted);

// Lower-case SHA-256 of the bytes. No widgets, no I/O.
QString sha256Hex(const QByteArray &bytes);

// "*FWUPD" for the firmware-update command, else the bytes as spaced hexadecimal pairs.
// No widgets, no I/O.
QString startCommandText(const QByteArray &command);

// Terminal columns the text takes: wide (CJK) characters count two. No widgets, no I/O.
int displayWidth(const QString &text);
// The text cut to at most columns, by display width. No widgets, no I/O.
QString clipToWidth(const QString &text, int columns);

// Rows under a header, columns padded by display width and two spaces apart.
// No widgets, no I/O.
QString table(const QStringList &header, const QList<QStringList> &rows);

// Port, outcome, reason, bytes, seconds and the identity before the update, one row a unit.
// No widgets, no I/O.
QString summaryTable(const QList<UnitRecord> &records);

// Name, description, manufacturer, serial number, VID:PID, one row a port. No widgets, no I/O.
QString portTable(const QList<PortListing> &ports);

// What a port's progress line shows.
struct ProgressView
{
    QString port;
    QString phase;
    bool transferring = false; // bytes, percent, rate and time left are shown
    int shown = 0;
    int total = 0;
    double rateKBps = 0.0;
    int secondsLeft = -1;
};

// "PORT  PHASE  shown/total B  pp%  r.r KB/s  m:ss left", the numbers only while transferring.
// portWidth pads the port name so the lines of several ports align. No widgets, no I/O.
QString progressLine(const ProgressView &view, int portWidth);

} // namespace FlashReport
