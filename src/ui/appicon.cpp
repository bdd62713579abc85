#include "ui/appicon.h"

#include <QDirIterator>

QIcon appIcon()
{
    QIcon icon;
    QDirIterator it(QStringLiteral(":/appicon"), {QStringLiteral("*.png")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        icon.addFile(it.next());
    return icon;
}
