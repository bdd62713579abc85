#include "update/imagecheck.h"

#include <QCoreApplication>
#include <QFile>
#include <QtEndian>

#include <algorithm>

namespace ImageCheck {

namespace {

// Share of printable bytes, in percent, from which the start of an image counts as text. A
// vector table cannot reach it: its stack pointer holds 0x00..0x04 and its reset handler 0x08.
constexpr int kTextPercent = 90;

bool isPrintable(char c)
{
    return (c >= 0x20 && c <= 0x7E) || c == '\t' || c == '\n' || c == '\r';
}

bool looksLikeText(QByteArrayView head)
{
    if (head.startsWith(':') || head.startsWith("S0"))
        return true;
    const auto printable = std::count_if(head.begin(), head.end(), isPrintable);
    return printable * 100 >= head.size() * kTextPercent;
}

Result implausible(Verdict verdict, const char *reason)
{
    return {verdict, QCoreApplication::translate("ImageCheck", reason)};
}

} // namespace

Result checkImage(QByteArrayView head, qint64 imageSize)
{
    if (head.size() < kVectorBytes || imageSize < kVectorBytes)
        return implausible(Verdict::TooShort, "文件不足 8 字节，没有完整的向量表");
    head = head.first(std::min<qint64>({head.size(), imageSize, kHeadBytes}));
    if (looksLikeText(head))
        return implausible(Verdict::NotFirmware, "不像固件镜像（可能是文本或 HEX 文件）");

    const quint32 stack = qFromLittleEndian<quint32>(head.data());
    if (stack % 4 != 0 || stack < kSramBase || stack > kSramEnd) {
        return implausible(Verdict::StackOutsideSram,
                           "初始栈指针不在片内 SRAM（0x20000000–0x2004FFFF）或未按 4 字节对齐");
    }

    const quint32 reset = qFromLittleEndian<quint32>(head.data() + 4);
    const qint64 spanEnd = std::min<qint64>(qint64(kApplicationBase) + imageSize, kApplicationEnd);
    if (reset % 2 == 1 && reset >= kFlashBase && reset < kApplicationBase) {
        return implausible(Verdict::WholeFlashImage,
                           "像是整片 Flash 镜像（含 bootloader，链接地址 0x08000000）");
    }
    if (reset % 2 == 0 || reset < kApplicationBase + kVectorBytes || reset >= spanEnd)
        return implausible(Verdict::ResetOutsideApplication, "复位向量不在应用区内");
    return {};
}

Result checkImageFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return checkImage({}, 0);
    return checkImage(file.read(kHeadBytes), file.size());
}

} // namespace ImageCheck
