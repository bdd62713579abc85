#include "device/deviceidentity.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QStringList>

namespace {
// The usual form: maker, model, serial number, version.
constexpr int kFieldCount = 4;

QString escapedControls(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}
} // namespace

DeviceIdentity DeviceIdentity::fromReply(const QString &reply)
{
    DeviceIdentity identity;
    identity.reply = escapedControls(reply.trimmed());
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
