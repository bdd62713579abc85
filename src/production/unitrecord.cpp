#include "production/unitrecord.h"

#include "device/versionrule.h"
#include "records/attemptfacts.h"

#include <QCryptographicHash>

namespace Production {

namespace {
// Text the system or the device left empty is not known: null in the record.
QString orNull(const QString &text)
{
    return text.isEmpty() ? QString() : text;
}
} // namespace

QString outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Success:
        return QStringLiteral("success");
    case Outcome::Failed:
        return QStringLiteral("failed");
    case Outcome::VersionMismatch:
        return QStringLiteral("version-mismatch");
    case Outcome::Interrupted:
        return QStringLiteral("interrupted");
    }
    return QStringLiteral("failed");
}

UpdateRecord newRecord(const QString &program, const QString &port, const ImageFacts &image,
                       const QString &expectedVersion)
{
    UpdateRecord r = Records::startRecord(program);
    r.port = port;
    Records::setImage(&r, image.fileName, image.size, image.sha256, image.checkReason);
    r.expectedVersion = orNull(expectedVersion);
    return r;
}

void setIdentificationAfter(UpdateRecord *record, const DeviceIdentity &after, bool sameUnit,
                            bool confirmed)
{
    record->identAfter = after.reply.isNull() ? QStringLiteral("") : after.reply;
    record->versionAfter.clear();
    if (sameUnit && after.hasFields())
        record->versionAfter = orNull(after.version);
    else if (sameUnit && confirmed)
        record->versionAfter = record->expectedVersion; // found in a reply without fields
    record->versionConfirmed = confirmed;
}

double rateKBps(qint64 bytes, qint64 ns)
{
    return ns > 0 ? double(bytes) / 1024.0 / (double(ns) / 1e9) : 0.0;
}

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QString startCommandText(const QByteArray &command)
{
    if (command == VersionRule::firmwareUpdateCommand())
        return QStringLiteral("*FWUPD");
    return QString::fromLatin1(command.toHex(' '));
}

QString unitKey(const DeviceIdentity &identity, const QString &usbSerial, bool adapterIsUnits)
{
    if (!identity.serialNumber.isEmpty())
        return QStringLiteral("unit:") + identity.serialNumber;
    if (adapterIsUnits && !usbSerial.isEmpty())
        return QStringLiteral("usb:") + usbSerial;
    return QString();
}

bool isAnotherUnit(const DeviceIdentity &before, const DeviceIdentity &after,
                   const QString &usbBefore, const QString &usbAfter)
{
    if (!before.serialNumber.isEmpty() && !after.serialNumber.isEmpty())
        return before.serialNumber != after.serialNumber;
    return !usbBefore.isEmpty() && !usbAfter.isEmpty() && usbBefore != usbAfter;
}

void RecentUnits::add(const QString &key)
{
    if (key.isEmpty() || m_keys.contains(key))
        return;
    if (int(m_order.size()) >= kCapacity) {
        m_keys.remove(m_order.front());
        m_order.pop_front();
    }
    m_keys.insert(key);
    m_order.push_back(key);
}

} // namespace Production
