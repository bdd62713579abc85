#include "update/firmwarecheck.h"

#include "update/firmwarerules.h"

#include <QFileInfo>
#include <QSettings>

namespace FirmwareCheck {

namespace {
const QString kMaxFirmwareKey = QStringLiteral("maxFirmwareKB");
} // namespace

int storedSizeLimit(QSettings &settings)
{
    // A person may edit the store while the tool runs; pick the change up at every use.
    settings.sync();
    return FirmwareRules::sizeLimitBytes(
        settings.value(kMaxFirmwareKey, FirmwareRules::kDefaultMaxFirmwareKB));
}

QString refusalFor(const QString &path, qint64 limit)
{
    const QFileInfo info(path);
    const bool isFile = info.isFile();
    return FirmwareRules::refusalReason(isFile, info.suffix(), isFile ? info.size() : 0, limit);
}

} // namespace FirmwareCheck
