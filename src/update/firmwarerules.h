#pragma once

#include <QString>
#include <QVariant>

// Rules of the image check and of the progress display. No widgets, no I/O.
namespace FirmwareRules {

// KiB the device accepts when the store says nothing.
inline constexpr int kDefaultMaxFirmwareKB = 231;
// The bootloader programs at most this many bytes (0x08004000..0x0803DFFE).
inline constexpr int kBootloaderLimitBytes = 237440;
// Below this size the size line keeps one decimal.
inline constexpr qint64 kSizeTextDecimalBelow = 10240;
// The progress text changes at most this often, except on the completing report.
inline constexpr qint64 kProgressRefreshMs = 1000;
// A rate over a shorter interval than this is not shown.
inline constexpr double kMinRateSeconds = 0.1;

// Byte limit from the stored "maxFirmwareKB": value × 1024 for 1..231, else 237440.
// No widgets, no I/O.
int sizeLimitBytes(const QVariant &storedKB);

// Why a file may not be sent (the log line), or an empty string when it may.
// Checks in order: exists as a file, ".bin" suffix in any case, size within limit, not empty.
// No widgets, no I/O.
QString refusalReason(bool isFile, const QString &suffix, qint64 size, qint64 limit);

// True when a dropped path names a ".bin" file, in any case. No widgets, no I/O.
bool hasBinSuffix(const QString &path);

// KiB for the confirmation: "4.9" below 10240 bytes, "20" from there on. No widgets, no I/O.
QString sizeText(qint64 bytes);

// The value the bar shows: bytesSent capped at totalBytes when there is a total.
// No widgets, no I/O.
int shownBytes(int bytesSent, int totalBytes);

// Whole percent, halves away from zero, clamped to 0..100; 0 without a total.
// No widgets, no I/O.
int percent(int shown, int totalBytes);

// KB/s over one refresh interval, 0 when nothing moved or the interval is 0.1 s or shorter.
// No widgets, no I/O.
double rateKBps(int deltaBytes, qint64 elapsedMs);

// Seconds until the transfer ends at the rate, or -1 when there is no rate yet.
// No widgets, no I/O.
int secondsRemaining(int shown, int totalBytes, double rateKBps);

// Whether a report refreshes the text: on completion, after a second, or when the wall clock
// went backwards (the interval is meaningless then). No widgets, no I/O.
bool refreshesText(int shown, int totalBytes, qint64 elapsedMs);

// "更新进度：%1 / %2 字节（%3%）" plus " · %1 KB/s" when the rate is above 0.
// No widgets, no I/O.
QString progressText(int shown, int totalBytes, double rate);

} // namespace FirmwareRules
