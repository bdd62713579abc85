#pragma once

#include "production/unitrecord.h"
#include "update/portdiscovery.h"

#include <QByteArray>
#include <QList>
#include <QString>

// What the command-line flasher shows and writes: the record's JSON line, the summary, the port
// list and the history, the progress line, the exit status. No widgets, no I/O.
namespace FlashReport {

using Production::ImageFacts;
using Production::sha256Hex;

// The summary fits this many columns.
inline constexpr int kSummaryColumns = 80;

// The record as one line of JSON with its line feed: the store's fields and keys. No widgets,
// no I/O.
QByteArray jsonLine(const UpdateRecord &record);

// 0 when no unit failed, 1 when one did; 130 when Ctrl+C, 143 when SIGTERM interrupted the run
// (signal: the number of the signal that did, 0 for none). No widgets, no I/O.
int exitStatus(int failedUnits, int signal);

// Terminal columns the text takes: wide (CJK) characters count two. No widgets, no I/O.
int displayWidth(const QString &text);
// The text cut to at most columns, by display width. No widgets, no I/O.
QString clipToWidth(const QString &text, int columns);
// The text broken into lines of at most columns (at a space where there is one), each line
// indented by indent spaces and ended by a line feed. No widgets, no I/O.
QString wrapped(const QString &text, int columns, int indent);

// Rows under a header, columns padded by display width and two spaces apart. With widths, the
// columns are at least as wide as given there, and widths comes back with the widths used (so
// that the pages of a long table line up). No widgets, no I/O.
QString table(const QStringList &header, const QList<QStringList> &rows,
              QList<int> *widths = nullptr);

// The unit as the summary names it: serial number and version before (→ after), or its
// identification, "-" when it was never asked. No widgets, no I/O.
QString unitText(const UpdateRecord &record);

// Port, result, bytes, seconds and unit, one row a record, within columns; a failure's reason
// code and reason on an indented line of their own below its row. No widgets, no I/O.
QString summaryTable(const QList<UpdateRecord> &records, int columns = kSummaryColumns);

// Name, description, manufacturer, serial number, VID:PID, one row a port; "no serial ports
// found" for none. No widgets, no I/O.
QString portTable(const QList<PortListing> &ports);
// The same as a JSON array of objects with the keys name, description, manufacturer,
// serialNumber and vidPid (null where the system does not know). No widgets, no I/O.
QByteArray portListJson(const QList<PortListing> &ports);

// --history's table: its header, and one record's row (time in local time, port, unit, versions,
// image with the start of its SHA-256, result, seconds, reason). No widgets, no I/O.
QStringList historyHeader();
QStringList historyRow(const UpdateRecord &record);

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

// "0:07" for a wait that has lasted 7 s; with a limit "0:07 of 0:20". No widgets, no I/O.
QString waitText(qint64 elapsedMs, qint64 limitMs);

} // namespace FlashReport
