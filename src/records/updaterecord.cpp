#include "records/updaterecord.h"

#include <QCoreApplication>
#include <QJsonValue>
#include <QSysInfo>
#include <QUuid>

#include <pwd.h>
#include <unistd.h>

namespace Records {
namespace {

// The keys in the order of the CSV columns.
const QStringList kKeys = {
    QStringLiteral("id"),
    QStringLiteral("time"),
    QStringLiteral("endTime"),
    QStringLiteral("station"),
    QStringLiteral("program"),
    QStringLiteral("programVersion"),
    QStringLiteral("osUser"),
    QStringLiteral("port"),
    QStringLiteral("serialNumber"),
    QStringLiteral("vidPid"),
    QStringLiteral("identification"),
    QStringLiteral("maker"),
    QStringLiteral("model"),
    QStringLiteral("unitSerial"),
    QStringLiteral("versionBefore"),
    QStringLiteral("image"),
    QStringLiteral("imageSize"),
    QStringLiteral("sha256"),
    QStringLiteral("imageCheck"),
    QStringLiteral("startCommand"),
    QStringLiteral("outcome"),
    QStringLiteral("reasonCode"),
    QStringLiteral("reason"),
    QStringLiteral("bytesSent"),
    QStringLiteral("durationS"),
    QStringLiteral("rateKBps"),
    QStringLiteral("expectedVersion"),
    QStringLiteral("versionReadBack"),
    QStringLiteral("versionAfter"),
    QStringLiteral("versionConfirmed"),
};

QJsonValue text(const QString &value)
{
    return value.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(value);
}

QString textOf(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isString())
        return QString();
    const QString s = value.toString();
    return s.isNull() ? QStringLiteral("") : s.left(kMaxTextChars);
}

QString currentUser()
{
    QString user = qEnvironmentVariable("USER");
    if (user.isEmpty()) {
        if (const passwd *entry = ::getpwuid(::geteuid()))
            user = QString::fromLocal8Bit(entry->pw_name);
    }
    return user;
}

QString csvField(const QJsonValue &value)
{
    if (value.isNull() || value.isUndefined())
        return QString();
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 15);
    QString s = value.toString();
    if (!s.isEmpty() && QStringLiteral("=+-@").contains(s.front()))
        s.prepend(QLatin1Char('\''));
    if (s.contains(QLatin1Char(',')) || s.contains(QLatin1Char('"')) ||
        s.contains(QLatin1Char('\n')) || s.contains(QLatin1Char('\r')))
        s = QLatin1Char('"') + s.replace(QLatin1Char('"'), QLatin1String("\"\"")) +
            QLatin1Char('"');
    return s;
}

} // namespace

UpdateRecord startRecord(const QString &program)
{
    UpdateRecord record;
    record.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    record.startedUtc = QDateTime::currentDateTimeUtc();
    record.station = QSysInfo::machineHostName();
    record.program = program;
    record.programVersion = QCoreApplication::applicationVersion();
    record.osUser = currentUser();
    return record;
}

QString isoUtc(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QJsonObject toJson(const UpdateRecord &r)
{
    QJsonObject o;
    o.insert(QStringLiteral("id"), r.id);
    o.insert(QStringLiteral("time"), text(isoUtc(r.startedUtc)));
    o.insert(QStringLiteral("endTime"), text(isoUtc(r.endedUtc)));
    o.insert(QStringLiteral("station"), text(r.station));
    o.insert(QStringLiteral("program"), text(r.program));
    o.insert(QStringLiteral("programVersion"), text(r.programVersion));
    o.insert(QStringLiteral("osUser"), text(r.osUser));
    o.insert(QStringLiteral("port"), text(r.port));
    o.insert(QStringLiteral("serialNumber"), text(r.usbSerial));
    o.insert(QStringLiteral("vidPid"), text(r.vidPid));
    o.insert(QStringLiteral("identification"), text(r.identBefore));
    o.insert(QStringLiteral("maker"), text(r.maker));
    o.insert(QStringLiteral("model"), text(r.model));
    o.insert(QStringLiteral("unitSerial"), text(r.unitSerial));
    o.insert(QStringLiteral("versionBefore"), text(r.versionBefore));
    o.insert(QStringLiteral("image"), text(r.imageName));
    o.insert(QStringLiteral("imageSize"), double(r.imageSize));
    o.insert(QStringLiteral("sha256"), text(r.imageSha256));
    o.insert(QStringLiteral("imageCheck"), text(r.imageCheck));
    o.insert(QStringLiteral("startCommand"), text(r.startCommand));
    o.insert(QStringLiteral("outcome"), text(r.outcome));
    o.insert(QStringLiteral("reasonCode"), text(r.reasonCode));
    o.insert(QStringLiteral("reason"), text(r.reason));
    o.insert(QStringLiteral("bytesSent"), double(r.bytesSent));
    o.insert(QStringLiteral("durationS"), double(r.durationMs) / 1000.0);
    o.insert(QStringLiteral("rateKBps"), r.rateKBps);
    o.insert(QStringLiteral("expectedVersion"), text(r.expectedVersion));
    o.insert(QStringLiteral("versionReadBack"), text(r.identAfter));
    o.insert(QStringLiteral("versionAfter"), text(r.versionAfter));
    o.insert(QStringLiteral("versionConfirmed"), r.versionConfirmed);
    return o;
}

bool fromJson(const QJsonObject &o, UpdateRecord *record)
{
    UpdateRecord r;
    r.id = textOf(o, "id");
    r.startedUtc = QDateTime::fromString(textOf(o, "time"), Qt::ISODateWithMs).toUTC();
    if (QUuid::fromString(r.id).isNull() || !r.startedUtc.isValid())
        return false;
    r.endedUtc = QDateTime::fromString(textOf(o, "endTime"), Qt::ISODateWithMs).toUTC();
    r.station = textOf(o, "station");
    r.program = textOf(o, "program");
    r.programVersion = textOf(o, "programVersion");
    r.osUser = textOf(o, "osUser");
    r.port = textOf(o, "port");
    r.usbSerial = textOf(o, "serialNumber");
    r.vidPid = textOf(o, "vidPid");
    r.identBefore = textOf(o, "identification");
    r.maker = textOf(o, "maker");
    r.model = textOf(o, "model");
    r.unitSerial = textOf(o, "unitSerial");
    r.versionBefore = textOf(o, "versionBefore");
    r.imageName = textOf(o, "image");
    r.imageSize = qint64(o.value(QLatin1String("imageSize")).toDouble());
    r.imageSha256 = textOf(o, "sha256");
    r.imageCheck = textOf(o, "imageCheck");
    r.startCommand = textOf(o, "startCommand");
    r.outcome = textOf(o, "outcome");
    r.reasonCode = textOf(o, "reasonCode");
    r.reason = textOf(o, "reason");
    r.bytesSent = qint64(o.value(QLatin1String("bytesSent")).toDouble());
    r.durationMs = qRound64(o.value(QLatin1String("durationS")).toDouble() * 1000.0);
    r.rateKBps = o.value(QLatin1String("rateKBps")).toDouble();
    r.expectedVersion = textOf(o, "expectedVersion");
    r.identAfter = textOf(o, "versionReadBack");
    r.versionAfter = textOf(o, "versionAfter");
    r.versionConfirmed = o.value(QLatin1String("versionConfirmed")).toBool();
    *record = r;
    return true;
}

QString outcomeText(const QString &outcome)
{
    const auto tr = [](const char *text) { return QCoreApplication::translate("Records", text); };
    if (outcome == QLatin1String("success"))
        return tr("成功");
    if (outcome == QLatin1String("failed"))
        return tr("失败");
    if (outcome == QLatin1String("version-mismatch"))
        return tr("版本不符");
    if (outcome == QLatin1String("interrupted"))
        return tr("已中断");
    return outcome;
}

QString csvHeader()
{
    return kKeys.join(QLatin1Char(','));
}

QString csvRow(const UpdateRecord &record)
{
    const QJsonObject object = toJson(record);
    QStringList fields;
    for (const QString &key : kKeys)
        fields << csvField(object.value(key));
    return fields.join(QLatin1Char(','));
}

} // namespace Records
