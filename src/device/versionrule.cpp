#include "device/versionrule.h"

namespace VersionRule {
QByteArray firmwareUpdateCommand() { return QByteArrayLiteral("*FWUPD\r\n"); }
QByteArray legacyStartCommand() { return QByteArray::fromHex("5D0C2F7A19E4"); }
QByteArray startCommandFor(const QString &) { return legacyStartCommand(); }
} // namespace VersionRule
