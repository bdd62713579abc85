#include "app/dialog.h"

#include "device/serialworker.h"
#include "ui/widgets.h"

#include <QByteArray>
#include <QFileInfo>
#include <QLineEdit>
#include <QSettings>

namespace {
const QString kSerialPortKey = QStringLiteral("serialPort");
const QString kFirmwareFileKey = QStringLiteral("firmwareFile");
const QString kWindowGeometryKey = QStringLiteral("windowGeometry");
} // namespace

ScreenProvider &Dialog::screenProvider()
{
    static ScreenProvider provider = systemScreenAreas;
    return provider;
}

void Dialog::setScreenProvider(ScreenProvider provider)
{
    screenProvider() = provider ? std::move(provider) : ScreenProvider(systemScreenAreas);
}

void Dialog::loadSettings()
{
    const QString savedPort = m_settings->value(kSerialPortKey, QString()).toString();
    const QString savedPath = m_settings->value(kFirmwareFileKey, QString()).toString();

    // A listed port is selected again. A device path the user typed comes back while it exists;
    // a system name that is not listed now leaves the first port selected.
    if (m_portCombo->findData(savedPort, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive)
            >= 0
        || (savedPort.contains(QLatin1Char('/')) && QFileInfo::exists(savedPort)))
        selectPort(savedPort);
    // Shown as saved; it is checked only when an update uses it.
    if (!savedPath.isEmpty())
        m_pathEdit->setText(savedPath);

    m_worker->setDebugMode(false);
    refreshUiState();
}

void Dialog::saveSettings()
{
    m_settings->setValue(kSerialPortKey, selectedPortName());
    m_settings->setValue(kFirmwareFileKey, m_pathEdit->text());
    m_settings->setValue(kWindowGeometryKey, saveGeometry());
}

void Dialog::applyDefaultGeometry()
{
    const WindowPlacement placement = defaultWindowPlacement(screenProvider()().primaryAvailable);
    setMinimumSize(placement.minimumSize);
    resize(placement.geometry.size());
    m_defaultGeometry = placement.geometry;
    move(placement.geometry.topLeft());
}

void Dialog::restoreWindowGeometry()
{
    const QByteArray saved = m_settings->value(kWindowGeometryKey).toByteArray();
    if (saved.isEmpty())
        return;
    if (restoreGeometry(saved))
        ensureOnScreen();
}

void Dialog::ensureOnScreen()
{
    const QList<QRect> screens = screenProvider()().available;
    if (plausibleWindowSize(size(), m_defaultGeometry.size(), screens) &&
        showsEnoughOnScreens(frameGeometry(), screens)) {
        return;
    }
    resize(m_defaultGeometry.size());
    move(m_defaultGeometry.topLeft());
}
