#include "update/firmwarerules.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <cmath>

namespace FirmwareRules {

int sizeLimitBytes(const QVariant &storedKB)
{
    // Only a plain whole number from 1 to 231 counts: 4294967297 is not cut to its low 32 bits,
    // and text, fractions, booleans or lists are no number of KiB.
    static const QRegularExpression plainNumber(QStringLiteral("^[0-9]{1,3}$"));
    const int type = storedKB.typeId();
    if (type == QMetaType::Bool || type == QMetaType::QStringList || type == QMetaType::QVariantList)
        return kBootloaderLimitBytes;
    const QString text = storedKB.toString().trimmed();
    if (!plainNumber.match(text).hasMatch())
        return kBootloaderLimitBytes;
    const int kb = text.toInt();
    if (kb >= 1 && kb <= kDefaultMaxFirmwareKB)
        return kb * 1024;
    return kBootloaderLimitBytes;
}

QString refusalReason(PathKind kind, const QString &path, const QString &suffix, qint64 size,
                      qint64 limit)
{
    if (kind == PathKind::Missing)
        return QCoreApplication::translate("Dialog", "文件不存在：%1").arg(path);
    if (kind == PathKind::NotAFile)
        return QCoreApplication::translate("Dialog", "不是文件：%1").arg(path);
    if (suffix.toLower() != QLatin1String("bin"))
        return QCoreApplication::translate("Dialog", "无效文件，仅支持 .bin 格式。");
    if (size > limit) {
        return QCoreApplication::translate(
                   "Dialog", "文件为 %1 字节；设备最多接受 %2 字节（App 区 0x08004000-0x0803DFFF，"
                             "最后一个可写字节 0x0803DFFE）。")
            .arg(size)
            .arg(limit);
    }
    if (size == 0)
        return QCoreApplication::translate("Dialog", "固件文件为空。");
    return QString();
}

bool hasBinSuffix(const QString &path)
{
    return path.endsWith(QLatin1String(".bin"), Qt::CaseInsensitive);
}

QString sizeText(qint64 bytes)
{
    const int decimals = bytes < kSizeTextDecimalBelow ? 1 : 0;
    return QString::number(double(bytes) / 1024.0, 'f', decimals);
}

int shownBytes(int bytesSent, int totalBytes)
{
    return totalBytes > 0 ? qMin(bytesSent, totalBytes) : bytesSent;
}

int percent(int shown, int totalBytes)
{
    if (totalBytes <= 0)
        return 0;
    const long rounded = std::lround(double(shown) * 100.0 / double(totalBytes));
    return int(qBound(0L, rounded, 100L));
}

void RateEstimate::add(int shown, qint64 nowMs)
{
    const qint64 intervalMs = nowMs - m_lastMs;
    // The first report, or bytes that went backwards (another transfer): a new start.
    if (m_lastMs < 0 || shown < m_lastBytes || intervalMs < 0) {
        m_lastMs = nowMs;
        m_lastBytes = shown;
        return;
    }
    const double seconds = double(intervalMs) / 1000.0;
    if (seconds < kMinRateSeconds)
        return; // too short to measure: the interval goes on
    const double sample = (double(shown - m_lastBytes) / 1024.0) / seconds;
    const double weight = m_kbps > 0.0 ? 1.0 - std::exp(-seconds / kRateSmoothingSeconds) : 1.0;
    m_kbps += weight * (sample - m_kbps);
    m_lastMs = nowMs;
    m_lastBytes = shown;
}

int secondsRemaining(int shown, int totalBytes, double rateKBps)
{
    // Nothing left to count down once every byte is out; the device still has to answer.
    if (rateKBps <= 0.0 || totalBytes <= 0 || shown >= totalBytes ||
        double(shown) * 100.0 < double(totalBytes) * kRemainingFromPercent)
        return -1;
    const double left = double(qMax(0, totalBytes - shown)) / 1024.0 / rateKBps;
    return int(left + 0.5);
}

QString progressText(int shown, int totalBytes, double rate, int secondsLeft)
{
    const auto tr = [](const char *text) { return QCoreApplication::translate("Dialog", text); };
    QString text = tr("更新进度：%1 / %2 字节（%3%）")
                       .arg(shown)
                       .arg(totalBytes)
                       .arg(percent(shown, totalBytes));
    if (rate > 0.0)
        text += tr(" · %1 KB/s").arg(QString::number(rate, 'f', 1));
    if (secondsLeft >= 60)
        text += tr(" · 剩余 %1 分 %2 秒").arg(secondsLeft / 60).arg(secondsLeft % 60);
    else if (secondsLeft >= 0)
        text += tr(" · 剩余 %1 秒").arg(secondsLeft);
    return text;
}

} // namespace FirmwareRules
