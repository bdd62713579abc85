#pragma once

#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

// Points QSettings and QStandardPaths at a private folder, so tests never touch the user's real
// settings. Call before the first QSettings is created.
inline QString usePrivateSettingsFolder()
{
    static QTemporaryDir folder;
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder.path());
    return folder.path();
}
