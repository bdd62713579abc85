#pragma once

// Filling an update record from what every front end learns during an attempt: the image, the
// device's identification, the worker's end of the update and the read-back after it. The
// outcomes and codes are the same whichever program writes the record.

#include "records/updaterecord.h"
#include "update/readback.h"

namespace Records {

// The image: file name, size, SHA-256 (lower-case hexadecimal) and the image check's verdict,
// "plausible" when the check found nothing wrong (checkReason empty). No widgets, no I/O.
void setImage(UpdateRecord *record, const QString &fileName, qint64 size, const QString &sha256,
              const QString &checkReason);

// The port as the front end names it, and the adapter's USB serial number and VID:PID as the
// system lists them (null when it does not know them). No widgets, no I/O.
void setPort(UpdateRecord *record, const QString &port, const PortListing &listing);

// The identification before the update as the worker gave it (control bytes escaped; empty
// when no reply came), with maker, model, serial number and version when it has the usual four
// fields. No widgets, no I/O.
void setIdentification(UpdateRecord *record, const QString &identification);

// The worker's end of the update: success for an empty reason; else the reason and its code,
// outcome interrupted when the user cancelled (the operator's decision, not a fault of the
// device or the line) and failed otherwise. No widgets, no I/O.
void setWorkerResult(UpdateRecord *record, const QString &failureReason);

// What the application answered after a delivered image: its reply and version (none when
// another unit answered), and whether the new version is confirmed. Unless it is, the outcome is version-mismatch with the code for what
// was seen (version-mismatch, unit-replaced, no-read-back) and reason. No widgets, no I/O.
void setReadBack(UpdateRecord *record, const ReadBack::Outcome &outcome, const QString &reason);

// The attempt was given up before its result was known (the window closed, the user stopped
// waiting for the new version, Ctrl+C): interrupted, user-cancelled, with reason.
// No widgets, no I/O.
void setInterrupted(UpdateRecord *record, const QString &reason);

// The end of the attempt, durationMs after its start (on a steady clock, so the end time is the
// start time plus it): bytes sent and the transfer rate. No widgets, no I/O.
void setEnd(UpdateRecord *record, qint64 durationMs, qint64 bytesSent, double rateKBps);

} // namespace Records
