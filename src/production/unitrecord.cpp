#include "production/unitrecord.h"

#include "device/versionrule.h"

#include <QCryptographicHash>

namespace Production {

QString outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Success:
        return QStringLiteral("success");
    case Outcome::Failed:
        return QStringLiteral("failed");
    case Outcome::VersionMismatch:
        return QStringLiteral("version-mismatch");
    case Outcome::Interrupted:
        return QStringLiteral("interrupted");
    }
    return QStringLiteral("failed");
}

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QString startCommandText(const QByteArray &command)
{
    if (command == VersionRule::firmwareUpdateCommand())
        return QStringLiteral("*FWUPD");
    return QString::fromLatin1(command.toHex(' '));
}

} // namespace Production
