#pragma once

// Why an update did not succeed, as a stable English identifier that scripts can branch on and
// the records keep beside the Chinese reason. The worker words every outcome in Chinese; these
// are read from its words (and the front ends' own outcomes), never translated back.

#include <QString>
#include <QStringList>

namespace ReasonCode {

// The documented set.
inline const QString kDeviceTimeout = QStringLiteral("device-timeout");   // no answer in time
inline const QString kDeviceCancelled = QStringLiteral("device-cancelled"); // the device sent CAN
inline const QString kTransferFailed = QStringLiteral("transfer-failed"); // a block never ACKed
inline const QString kPortLost = QStringLiteral("port-lost");     // unplugged, or gone on an error
inline const QString kPortBusy = QStringLiteral("port-busy");     // another program holds it
inline const QString kPortDenied = QStringLiteral("port-permission"); // no right to open it
inline const QString kPortError = QStringLiteral("port-error");   // any other port failure
inline const QString kWriteFailed = QStringLiteral("write-failed"); // a command did not go out
inline const QString kUserCancelled = QStringLiteral("user-cancelled"); // cancel, Ctrl+C, SIGTERM
inline const QString kImageRefused = QStringLiteral("image-refused"); // unreadable, empty, too big
inline const QString kVersionMismatch = QStringLiteral("version-mismatch"); // old version after it
inline const QString kNoReadBack = QStringLiteral("no-read-back"); // the application never answered
inline const QString kUnitReplaced = QStringLiteral("unit-replaced"); // another unit answered after
inline const QString kAlreadyUpdated = QStringLiteral("already-updated"); // done earlier this run
inline const QString kFailed = QStringLiteral("failed"); // none of the above

// The code for a failure reason as the worker words it in updateFailed or connectionFailed:
// "设备响应超时" is device-timeout, "串口错误：<hint>" and "无法打开串口 …：<hint>" go by the hint.
// An empty reason (a success) has no code. No widgets, no I/O.
QString forWorkerReason(const QString &reason);

// Every code above, in the order listed. No widgets, no I/O.
QStringList all();

} // namespace ReasonCode
