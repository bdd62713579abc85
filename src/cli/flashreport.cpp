#include "cli/flashreport.h"

#include "device/versionrule.h"
#include "update/firmwarerules.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>

namespace FlashReport {

QByteArray jsonLine(const UnitRecord &r)
{
    auto orNull = [](const QString &text) {
        return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
    };
    QJsonObject o;
    o.insert(QStringLiteral("time"), r.timeUtc);
    o.insert(QStringLiteral("port"), r.port);
    o.insert(QStringLiteral("serialNumber"), orNull(r.serialNumber));
    o.insert(QStringLiteral("vidPid"), orNull(r.vidPid));
    o.insert(QStringLiteral("image"), r.image.fileName);
    o.insert(QStringLiteral("imageSize"), r.image.size);
    o.insert(QStringLiteral("sha256"), r.image.sha256);
    o.insert(QStringLiteral("imageCheck"), r.image.checkReason.isEmpty()
                                               ? QStringLiteral("plausible")
                                               : r.image.checkReason);
    o.insert(QStringLiteral("identification"),
             r.queried ? QJsonValue(r.identification) : QJsonValue(QJsonValue::Null));
    o.insert(QStringLiteral("startCommand"), orNull(r.startCommand));
    o.insert(QStringLiteral("outcome"), outcomeName(r.outcome));
    o.insert(QStringLiteral("reason"), orNull(r.reason));
    o.insert(QStringLiteral("durationS"), double(r.durationMs) / 1000.0);
    o.insert(QStringLiteral("bytesSent"), r.bytesSent);
    if (!r.expectedVersion.isEmpty()) {
        o.insert(QStringLiteral("expectedVersion"), r.expectedVersion);
        o.insert(QStringLiteral("versionReadBack"),
                 r.readBack ? QJsonValue(r.versionReadBack) : QJsonValue(QJsonValue::Null));
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

int exitStatus(const QList<Outcome> &outcomes, bool interrupted)
{
    if (interrupted)
        return 130;
    for (Outcome outcome : outcomes) {
        if (outcome != Outcome::Success)
            return 1;
    }
    return 0;
}

namespace {
bool isWide(char32_t c)
{
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
           (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}
} // namespace

int displayWidth(const QString &text)
{
    int width = 0;
    for (char32_t c : text.toUcs4())
        width += isWide(c) ? 2 : 1;
    return width;
}

QString clipToWidth(const QString &text, int columns)
{
    QString out;
    int width = 0;
    for (char32_t c : text.toUcs4()) {
        const int w = isWide(c) ? 2 : 1;
        if (width + w > columns)
            break;
        width += w;
        out += QString::fromUcs4(&c, 1);
    }
    return out;
}

QString table(const QStringList &header, const QList<QStringList> &rows)
{
    QList<int> widths;
    for (const QString &title : header)
        widths.append(displayWidth(title));
    for (const QStringList &row : rows) {
        for (int i = 0; i < row.size() && i < widths.size(); ++i)
            widths[i] = qMax(widths[i], displayWidth(row.at(i)));
    }
    auto line = [&widths](const QStringList &cells) {
        QString text;
        for (int i = 0; i < widths.size(); ++i) {
            const QString cell = cells.value(i);
            text += cell;
            if (i + 1 < widths.size())
                text += QString(widths[i] - displayWidth(cell) + 2, QLatin1Char(' '));
        }
        while (text.endsWith(QLatin1Char(' ')))
            text.chop(1);
        return text + QLatin1Char('\n');
    };
    QString text = line(header);
    for (const QStringList &row : rows)
        text += line(row);
    return text;
}

QString summaryTable(const QList<UnitRecord> &records)
{
    QList<QStringList> rows;
    for (const UnitRecord &r : records) {
        rows.append({r.port, outcomeName(r.outcome),
                     r.reason.isEmpty() ? QStringLiteral("-") : r.reason,
                     QString::number(r.bytesSent), QString::number(r.durationMs / 1000.0, 'f', 1),
                     r.identification.isEmpty() ? QStringLiteral("-") : r.identification});
    }
    return table({QStringLiteral("PORT"), QStringLiteral("OUTCOME"), QStringLiteral("REASON"),
                  QStringLiteral("BYTES"), QStringLiteral("SECONDS"),
                  QStringLiteral("DEVICE BEFORE")},
                 rows);
}

QString portTable(const QList<PortListing> &ports)
{
    auto orDash = [](const QString &text) { return text.isEmpty() ? QStringLiteral("-") : text; };
    QList<QStringList> rows;
    for (const PortListing &p : ports) {
        rows.append({p.name, orDash(p.description), orDash(p.manufacturer), orDash(p.serialNumber),
                     orDash(vidPidText(p))});
    }
    return table({QStringLiteral("PORT"), QStringLiteral("DESCRIPTION"),
                  QStringLiteral("MANUFACTURER"), QStringLiteral("SERIAL"),
                  QStringLiteral("VID:PID")},
                 rows);
}

QString progressLine(const ProgressView &v, int portWidth)
{
    QString line = v.port + QString(qMax(0, portWidth - displayWidth(v.port)), QLatin1Char(' '));
    line += QStringLiteral("  ") + v.phase;
    if (!v.transferring)
        return line;
    line += QStringLiteral("  %1/%2 B  %3%")
                .arg(v.shown)
                .arg(v.total)
                .arg(FirmwareRules::percent(v.shown, v.total), 3);
    if (v.rateKBps > 0.0)
        line += QStringLiteral("  %1 KB/s").arg(v.rateKBps, 0, 'f', 1);
    if (v.secondsLeft >= 0)
        line += QStringLiteral("  %1:%2 left")
                    .arg(v.secondsLeft / 60)
                    .arg(v.secondsLeft % 60, 2, 10, QLatin1Char('0'));
    return line;
}

} // namespace FlashReport
