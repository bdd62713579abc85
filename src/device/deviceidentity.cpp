#include "device/deviceidentity.h"

#include "device/versionrule.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QStringList>

namespace {
// The usual form: maker, model, serial number, version.
constexpr int kFieldCount = 4;
} // namespace

DeviceIdentity DeviceIdentity::fromReply(const QString &reply)
{
    DeviceIdentity identity;
    identity.reply = DeviceReply::escapedText(reply.trimmed());
    const QStringList fields = identity.reply.split(QLatin1Char(','));
    if (fields.size() != kFieldCount)
        return identity;
    for (const QString &field : fields) {
        if (field.trimmed().isEmpty())
            return identity;
    }
    identity.maker = fields.at(0).trimmed();
    identity.model = fields.at(1).trimmed();
    identity.serialNumber = fields.at(2).trimmed();
    identity.version = fields.at(3).trimmed();
    return identity;
}

QString DeviceIdentity::summary() const
{
    const auto tr = [](const char *text) {
        return QCoreApplication::translate("DeviceIdentity", text);
    };
    if (isEmpty())
        return tr("未识别（无应答）");
    if (!hasFields())
        return reply;
    return QStringLiteral("%1 · %2 · %3").arg(model, serialNumber, tr("当前版本 %1").arg(version));
}

bool carriesVersion(const QString &reply, const QString &version)
{
    if (version.isEmpty())
        return false;
    const QRegularExpression whole(
        QStringLiteral("(?<![0-9.])%1(?![0-9]|\\.[0-9])").arg(QRegularExpression::escape(version)));
    return whole.match(reply).hasMatch();
}
