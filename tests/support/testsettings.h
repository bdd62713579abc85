#pragma once

#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

// Points QSettings and QStandardPaths at a private folder, so tests never touch the user's real
// settings, records or spool. Call before the first QSettings is created.
inline QString usePrivateSettingsFolder()
{
    static QTemporaryDir folder;
    // In test mode the data location is under the home folder (~/.qttest/share), whatever
    // XDG_DATA_HOME says.
    qputenv("HOME", folder.path().toLocal8Bit());
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder.path());
    return folder.path();
}
