#include "update/firmwarecheck.h"

#include "update/firmwarerules.h"

#include <QDir>
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
    using FirmwareRules::PathKind;
    const QFileInfo info(path);
    const PathKind kind = !info.exists()  ? PathKind::Missing
                          : info.isFile() ? PathKind::File
                                          : PathKind::NotAFile;
    return FirmwareRules::refusalReason(kind, path, info.suffix(),
                                        kind == PathKind::File ? info.size() : 0, limit);
}

QString browseFolder(const QString &currentImage, const QString &lastFolder)
{
    const QString imageFolder =
        currentImage.isEmpty() ? QString() : QFileInfo(currentImage).absolutePath();
    for (const QString &folder : {imageFolder, lastFolder}) {
        if (!folder.isEmpty() && QFileInfo(folder).isDir())
            return folder;
    }
    return QDir::homePath();
}

} // namespace FirmwareCheck
