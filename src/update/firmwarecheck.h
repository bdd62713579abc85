#pragma once

#include <QString>

class QSettings;

// The image checks both front ends make before an update: the size limit the settings store asks
// for, and whether a file may be sent under it.
namespace FirmwareCheck {

// Byte limit from the store's "maxFirmwareKB" (FirmwareRules::sizeLimitBytes). The store is read
// again first, so an edit made while the tool runs counts.
int storedSizeLimit(QSettings &settings);

// Why the file at path may not be sent under limit (the window's log line), or an empty string
// when it may. Looks at the file system: a dangling link is missing, a folder is no file.
QString refusalFor(const QString &path, qint64 limit);

// Where the file dialog opens: the current image's folder, else the folder last chosen from,
// else the home folder; only folders that exist.
QString browseFolder(const QString &currentImage, const QString &lastFolder);

} // namespace FirmwareCheck
