#include "narration.h"

#include "update/imagecheck.h"
#include "ymodemreceiver.h"

#include <QFileInfo>
#include <QtEndian>

#include <cstdio>

namespace DevSim {

void say(const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void complain(const QString &line)
{
    std::fputs(("fwdevsim: " + line).toLocal8Bit().constData(), stderr);
    std::fputc('\n', stderr);
}

QString targetName(int target)
{
    if (target == 0)
        return QStringLiteral("the header block");
    if (target == YmodemReceiver::kEot)
        return QStringLiteral("EOT");
    if (target == YmodemReceiver::kEndOfBatch)
        return QStringLiteral("the end-of-batch block");
    return QStringLiteral("data block %1").arg(target);
}

QString safeFileName(const QByteArray &headerName)
{
    const QString name = QFileInfo(QString::fromUtf8(headerName)).fileName();
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("received.bin");
    return name;
}

namespace {
QString hexWord(const char *bytes)
{
    return QStringLiteral("0x%1").arg(
        QString::number(qFromLittleEndian<quint32>(bytes), 16).toUpper(), 8, QLatin1Char('0'));
}
} // namespace

QString vectorTableText(const QByteArray &image)
{
    using ImageCheck::Verdict;
    const ImageCheck::Result check = ImageCheck::checkImage(image, image.size());
    QString verdict;
    switch (check.verdict) {
    case Verdict::TooShort:
        return QStringLiteral(
            "Vector table: none (fewer than 8 bytes); the device would not start");
    case Verdict::Plausible:
        verdict = QStringLiteral("a plausible application; the device would start it");
        break;
    case Verdict::NotFirmware:
        verdict = QStringLiteral("text or a HEX file, not firmware");
        break;
    case Verdict::StackOutsideSram:
        verdict = QStringLiteral("the stack pointer is not in SRAM or not word-aligned");
        break;
    case Verdict::WholeFlashImage:
        verdict = QStringLiteral("a whole-flash image linked at 0x08000000, bootloader included");
        break;
    case Verdict::ResetOutsideApplication:
        verdict = QStringLiteral("the reset handler is not inside the application");
        break;
    }
    if (!check.plausible())
        verdict += QStringLiteral("; the device would not start");
    return QStringLiteral("Vector table: initial SP %1, reset handler %2, %3")
        .arg(hexWord(image.constData()), hexWord(image.constData() + 4), verdict);
}

// Number of data blocks an image of this size takes (1024-byte blocks, then 128-byte ones).
int blockCount(qint64 size)
{
    return int(size / 1024 + (size % 1024 + 127) / 128);
}

} // namespace DevSim
