#include "cli/flashreport.h"

#include "device/versionrule.h"
#include "update/firmwarerules.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

namespace FlashReport {

QByteArray jsonLine(const UpdateRecord &record)
{
    return QJsonDocument(Records::toJson(record)).toJson(QJsonDocument::Compact) + '\n';
}

int exitStatus(int failedUnits, int signal)
{
    // The shell's convention: 128 and the signal's number.
    if (signal == SIGINT || signal == SIGTERM)
        return 128 + signal;
    return failedUnits > 0 ? 1 : 0;
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

QString wrapped(const QString &text, int columns, int indent)
{
    const QString margin(indent, QLatin1Char(' '));
    const int room = qMax(8, columns - indent);
    QString out;
    QString line;
    int width = 0;
    int lastSpace = -1; // in line
    for (char32_t c : text.toUcs4()) {
        const QString ch = QString::fromUcs4(&c, 1);
        const int w = isWide(c) ? 2 : 1;
        if (width + w > room) {
            QString rest;
            // At a space, unless that leaves a short line (a code before a long reason).
            if (lastSpace > 0 && ch != QLatin1String(" ") &&
                displayWidth(line.left(lastSpace)) > room / 2) {
                rest = line.mid(lastSpace + 1);
                line.truncate(lastSpace);
            }
            out += margin + line.trimmed() + QLatin1Char('\n');
            line = rest;
            width = displayWidth(rest);
            lastSpace = -1;
            if (ch == QLatin1String(" "))
                continue;
        }
        if (ch == QLatin1String(" "))
            lastSpace = int(line.size());
        line += ch;
        width += w;
    }
    if (!line.trimmed().isEmpty())
        out += margin + line.trimmed() + QLatin1Char('\n');
    return out;
}

QString table(const QStringList &header, const QList<QStringList> &rows, QList<int> *widths)
{
    QList<int> used = widths ? *widths : QList<int>();
    for (int i = 0; i < header.size(); ++i) {
        if (i >= used.size())
            used.append(0);
        used[i] = qMax(used[i], displayWidth(header.at(i)));
    }
    for (const QStringList &row : rows) {
        for (int i = 0; i < row.size() && i < used.size(); ++i)
            used[i] = qMax(used[i], displayWidth(row.at(i)));
    }
    auto line = [&used](const QStringList &cells) {
        QString text;
        for (int i = 0; i < used.size(); ++i) {
            const QString cell = cells.value(i);
            text += cell;
            if (i + 1 < used.size())
                text += QString(used[i] - displayWidth(cell) + 2, QLatin1Char(' '));
        }
        while (text.endsWith(QLatin1Char(' ')))
            text.chop(1);
        return text + QLatin1Char('\n');
    };
    QString text = header.isEmpty() ? QString() : line(header);
    for (const QStringList &row : rows)
        text += line(row);
    if (widths)
        *widths = used;
    return text;
}

QString unitText(const UpdateRecord &r)
{
    if (r.identBefore.isNull())
        return QStringLiteral("-");
    if (r.unitSerial.isEmpty())
        return r.identBefore.isEmpty() ? QStringLiteral("(no answer)") : r.identBefore;
    QString text = r.unitSerial;
    if (!r.versionBefore.isEmpty())
        text += QLatin1Char(' ') + r.versionBefore;
    if (!r.versionAfter.isEmpty())
        text += QStringLiteral(" → ") + r.versionAfter;
    return text;
}

namespace {
// A long port name keeps its end, which tells a fixture's ports apart.
constexpr int kMaxPortColumns = 28;

QString clipFromLeft(const QString &text, int columns)
{
    if (displayWidth(text) <= columns)
        return text;
    QString out;
    const QList<uint> chars = text.toUcs4();
    int width = 1; // the ellipsis
    for (qsizetype i = chars.size() - 1; i >= 0; --i) {
        const char32_t c = chars.at(i);
        const int w = isWide(c) ? 2 : 1;
        if (width + w > columns)
            break;
        width += w;
        out.prepend(QString::fromUcs4(&c, 1));
    }
    return QStringLiteral("…") + out;
}
} // namespace

QString summaryTable(const QList<UpdateRecord> &records, int columns)
{
    const QStringList header{QStringLiteral("PORT"), QStringLiteral("RESULT"),
                             QStringLiteral("BYTES"), QStringLiteral("SECONDS"),
                             QStringLiteral("UNIT")};
    QList<QStringList> rows;
    for (const UpdateRecord &r : records) {
        rows.append({clipFromLeft(r.port, kMaxPortColumns), r.outcome,
                     QString::number(r.bytesSent), QString::number(r.durationMs / 1000.0, 'f', 3),
                     unitText(r)});
    }
    // The unit takes what the other columns leave.
    QList<int> widths;
    table(header, rows, &widths);
    int others = 0;
    for (int i = 0; i + 1 < widths.size(); ++i)
        others += widths[i] + 2;
    const int unitRoom = qMax(8, columns - others);
    for (QStringList &row : rows) {
        if (displayWidth(row.last()) > unitRoom)
            row.last() = clipToWidth(row.last(), unitRoom - 1) + QStringLiteral("…");
    }
    const QStringList lines = table(header, rows).split(QLatin1Char('\n'));
    QString text = lines.first() + QLatin1Char('\n');
    for (int i = 0; i < records.size(); ++i) {
        text += lines.value(i + 1) + QLatin1Char('\n');
        const UpdateRecord &r = records.at(i);
        if (r.reason.isEmpty() && r.reasonCode.isEmpty())
            continue;
        QString why = r.reasonCode;
        if (!r.reason.isEmpty())
            why += (why.isEmpty() ? QString() : QStringLiteral(": ")) + r.reason;
        text += wrapped(why, columns, 4);
    }
    return text;
}

QString portTable(const QList<PortListing> &ports)
{
    if (ports.isEmpty())
        return QStringLiteral("no serial ports found\n");
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

QByteArray portListJson(const QList<PortListing> &ports)
{
    auto orNull = [](const QString &text) {
        return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
    };
    QJsonArray list;
    for (const PortListing &p : ports) {
        QJsonObject o;
        o.insert(QStringLiteral("name"), p.name);
        o.insert(QStringLiteral("description"), orNull(p.description));
        o.insert(QStringLiteral("manufacturer"), orNull(p.manufacturer));
        o.insert(QStringLiteral("serialNumber"), orNull(p.serialNumber));
        o.insert(QStringLiteral("vidPid"), orNull(vidPidText(p)));
        list.append(o);
    }
    return QJsonDocument(list).toJson(QJsonDocument::Indented);
}

QStringList historyHeader()
{
    return {QStringLiteral("TIME"),    QStringLiteral("PORT"),   QStringLiteral("UNIT"),
            QStringLiteral("VERSION"), QStringLiteral("IMAGE"),  QStringLiteral("RESULT"),
            QStringLiteral("SECONDS"), QStringLiteral("REASON")};
}

QStringList historyRow(const UpdateRecord &r)
{
    auto orDash = [](const QString &text) { return text.isEmpty() ? QStringLiteral("-") : text; };
    const QString unit = QStringList{r.model, r.unitSerial}.join(QLatin1Char(' ')).trimmed();
    const QString version = r.versionBefore.isEmpty() && r.versionAfter.isEmpty()
                                ? QStringLiteral("-")
                                : QStringLiteral("%1 → %2").arg(orDash(r.versionBefore),
                                                                orDash(r.versionAfter));
    QString result = r.outcome;
    if (!r.reasonCode.isEmpty())
        result += QLatin1Char(':') + r.reasonCode;
    return {r.startedUtc.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
            orDash(r.port),
            orDash(unit),
            version,
            QStringLiteral("%1 %2").arg(orDash(r.imageName), r.imageSha256.left(8)).trimmed(),
            orDash(result),
            QString::number(r.durationMs / 1000.0, 'f', 3),
            // The device's text is escaped already; the reason is the program's own.
            r.reason.isEmpty() ? QStringLiteral("-") : r.reason};
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

namespace FlashReport {

QString waitText(qint64 elapsedMs, qint64 limitMs)
{
    auto clock = [](qint64 ms) {
        const qint64 s = qMax<qint64>(0, ms) / 1000;
        return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
    };
    if (limitMs < 0)
        return clock(elapsedMs);
    return QStringLiteral("%1 of %2").arg(clock(elapsedMs), clock(limitMs));
}

} // namespace FlashReport
