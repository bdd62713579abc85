#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// One update attempt on one unit, as both front ends record it. Text that is not known is a null
// QString (null in JSON, NULL in the store); an empty reply is an empty one.
struct UpdateRecord
{
    QString id; // a UUID without braces; the same attempt arriving twice counts once
    QDateTime startedUtc;
    QDateTime endedUtc;
    QString station; // host name
    QString program; // "fwupdater", "fwflash"
    QString programVersion;
    QString osUser;

    QString port;
    QString usbSerial; // the adapter's USB serial number
    QString vidPid;    // "0403:6001"

    // The identification reply before the update, control bytes written as \xHH by the worker's
    // DeviceReply::escapedText: null when the query never ran, empty when no reply came. Then the
    // parts read from it.
    QString identBefore;
    QString maker;
    QString model;
    QString unitSerial;
    QString versionBefore;

    QString imageName;
    qint64 imageSize = 0;
    QString imageSha256; // lower-case hexadecimal
    QString imageCheck;  // the image check's verdict: "plausible" or why it looks wrong

    QString startCommand; // "*FWUPD" or the legacy bytes in hexadecimal
    QString outcome;      // "success", "failed", "version-mismatch", "interrupted"
    QString reasonCode;   // a stable English identifier ("device-timeout"), empty on success
    QString reason;       // the reason in Chinese, as the user saw it
    qint64 bytesSent = 0;
    qint64 durationMs = 0;
    double rateKBps = 0.0;

    QString expectedVersion;
    QString identAfter; // the reply after the update, escaped; null when not asked
    QString versionAfter;
    bool versionConfirmed = false; // the unit answered with the expected version
};

namespace Records {

// Text longer than this is cut where a record is read from a file or a store.
inline constexpr int kMaxTextChars = 4096;

// A record with a new id, the start time, this station, program and user filled in.
UpdateRecord startRecord(const QString &program);

// Time as ISO 8601 UTC with milliseconds ("2026-12-07T04:38:31.710Z"); null when invalid.
// No widgets, no I/O.
QString isoUtc(const QDateTime &time);

// The record's JSON object; keys as fwflash's JSON lines name them ("time", "serialNumber",
// "identification", "sha256" ...). No widgets, no I/O.
QJsonObject toJson(const UpdateRecord &record);
// Reads what toJson wrote; false when it is no record (no valid id or start time). Text is cut
// to kMaxTextChars. No widgets, no I/O.
bool fromJson(const QJsonObject &object, UpdateRecord *record);

// "成功", "失败", "版本不符", "已中断"; an unknown outcome as it is. No widgets, no I/O.
QString outcomeText(const QString &outcome);

// The CSV header (the JSON keys) and one record's row, RFC 4180 quoting; text that a spreadsheet
// would run as a formula (= + - @ first) gets a leading '. No line end. No widgets, no I/O.
QString csvHeader();
QString csvRow(const UpdateRecord &record);

} // namespace Records
