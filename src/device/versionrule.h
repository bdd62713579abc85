#pragma once

#include <QByteArray>
#include <QString>

// The start command the device understands, chosen from its identification text.
// No widgets, no I/O.
namespace VersionRule {
QByteArray firmwareUpdateCommand(); // "*FWUPD\r\n"
QByteArray legacyStartCommand();    // 5D 0C 2F 7A 19 E4
QByteArray startCommandFor(const QString &identification);
} // namespace VersionRule
