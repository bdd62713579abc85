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
// A rate over a shorter interval than this is not taken.
inline constexpr double kMinRateSeconds = 0.1;
// How quickly the smoothed rate follows a change: an interval this long moves it 63 % of the way.
inline constexpr double kRateSmoothingSeconds = 3.0;
// The time remaining is shown from this share of the image on: before it the rate says little.
inline constexpr int kRemainingFromPercent = 5;

// Byte limit from the stored "maxFirmwareKB": value × 1024 for 1..231, else 237440.
// No widgets, no I/O.
int sizeLimitBytes(const QVariant &storedKB);

// What a path names on disk.
enum class PathKind { Missing, NotAFile, File };

// Why the file at path may not be sent (the log line), or an empty string when it may. Checks in
// order: it exists, it is a file (not a folder or a device), ".bin" suffix in any case, size
// within limit, not empty. No widgets, no I/O.
QString refusalReason(PathKind kind, const QString &path, const QString &suffix, qint64 size,
                      qint64 limit);

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

// The transfer rate in KB/s, smoothed over the progress reports: each interval of at least
// kMinRateSeconds moves it towards that interval's rate, the more the longer the interval.
// No widgets, no I/O.
class RateEstimate
{
public:
    // A report of shown bytes at nowMs on a steady clock.
    void add(int shown, qint64 nowMs);
    // 0 until two reports far enough apart came.
    double kbps() const { return m_kbps; }

private:
    qint64 m_lastMs = -1;
    int m_lastBytes = 0;
    double m_kbps = 0.0;
};

// Seconds until the transfer ends at the rate, or -1 when there is no rate yet or less than
// kRemainingFromPercent of the image is sent. No widgets, no I/O.
int secondsRemaining(int shown, int totalBytes, double rateKBps);

// "更新进度：%1 / %2 字节（%3%）", then " · %1 KB/s" when the rate is above 0 and " · 剩余 %1 秒"
// (with minutes from a minute on) when the time remaining is known. No widgets, no I/O.
QString progressText(int shown, int totalBytes, double rate, int secondsLeft);

} // namespace FirmwareRules
