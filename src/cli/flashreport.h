#pragma once

#include "production/unitrecord.h"
#include "update/portdiscovery.h"

#include <QByteArray>
#include <QList>
#include <QString>

// What the command-line flasher shows and writes: the unit record's JSON line, the summary and
// port tables, the progress line, the exit status. No widgets, no I/O.
namespace FlashReport {

// The unit's record and its parts, as the production loop makes them.
using Production::ImageFacts;
using Production::Outcome;
using Production::outcomeName;
using Production::sha256Hex;
using Production::startCommandText;
using Production::UnitRecord;

// The record as one line of JSON with its line feed. Unknown values are null; the read-back
// fields appear only when a version was expected. No widgets, no I/O.
QByteArray jsonLine(const UnitRecord &record);

// 0 when every device was updated, 1 when any failed, 130 when interrupted. No widgets, no I/O.
int exitStatus(const QList<Outcome> &outcomes, bool interrupted);

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
