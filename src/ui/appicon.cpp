#include "ui/appicon.h"

#include <QDirIterator>

namespace {
// Every PNG under a resource folder, one size each.
QIcon iconFrom(const QString &folder)
{
    QIcon icon;
    QDirIterator it(folder, {QStringLiteral("*.png")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        icon.addFile(it.next());
    return icon;
}
} // namespace

QIcon appIcon()
{
    return iconFrom(QStringLiteral(":/appicon"));
}

QIcon stationIcon()
{
    return iconFrom(QStringLiteral(":/stationicon"));
}
