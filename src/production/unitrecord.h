#pragma once

#include "device/deviceidentity.h"
#include "records/updaterecord.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <deque>

// The record of one unit in the production loop is the store's UpdateRecord; these fill it in
// from what the loop learns. No widgets, no I/O.
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
    QString sha256;      // lower-case hexadecimal
    QString checkReason; // why the vector table looks wrong; empty when it looks plausible
};

// A record for a new attempt: a new id, the start time, this station, the program and its user,
// the port and the image. No widgets.
UpdateRecord newRecord(const QString &program, const QString &port, const ImageFacts &image,
                       const QString &expectedVersion);

// What answered after the update: its reply, and its version when it is this unit's; confirmed
// when it carries the expected version. No widgets, no I/O.
void setIdentificationAfter(UpdateRecord *record, const DeviceIdentity &after, bool sameUnit,
                            bool confirmed);

// KiB per second of bytes in ns; 0 when no time passed. No widgets, no I/O.
double rateKBps(qint64 bytes, qint64 ns);

// Lower-case SHA-256 of the bytes. No widgets, no I/O.
QString sha256Hex(const QByteArray &bytes);

// "*FWUPD" for the firmware-update command, else the bytes as spaced hexadecimal pairs.
// No widgets, no I/O.
QString startCommandText(const QByteArray &command);

// How a unit is known across a run: the serial number in its identification reply, else its USB
// adapter's serial number when the adapter belongs to the unit (not to a fixture whose port stays
// while boards change); empty when neither tells. No widgets, no I/O.
QString unitKey(const DeviceIdentity &identity, const QString &usbSerial, bool adapterIsUnits);

// Another unit answered than the one updated: both replies carry serial numbers and they differ,
// or, where a reply has none, both USB adapters have one and they differ. No widgets, no I/O.
bool isAnotherUnit(const DeviceIdentity &before, const DeviceIdentity &after,
                   const QString &usbBefore, const QString &usbAfter);

// The units updated in a run, for telling one that comes back from a new one: the newest
// kCapacity keys, so that a line that runs for days holds a bounded set. No widgets, no I/O.
class RecentUnits
{
public:
    static constexpr int kCapacity = 4096;

    bool contains(const QString &key) const { return m_keys.contains(key); }
    // Adds the key as the newest; the oldest goes when the set is full.
    void add(const QString &key);
    int size() const { return int(m_keys.size()); }

private:
    QSet<QString> m_keys;
    std::deque<QString> m_order; // oldest first
};

} // namespace Production
