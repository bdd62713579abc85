#include "records/recordspool.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QSaveFile>

#include <unistd.h>

namespace {

// No record line comes near this; a longer line is not read, only carried over.
constexpr qint64 kMaxLineBytes = 4 * 1024 * 1024;

QString tr(const char *text)
{
    return QCoreApplication::translate("RecordSpool", text);
}

// Reads one line with its line feed; a line longer than kMaxLineBytes comes back empty with
// tooLong set, its bytes copied to sink when one is given.
QByteArray nextLine(QFile &file, bool *tooLong, QIODevice *sink = nullptr)
{
    QByteArray line = file.readLine(kMaxLineBytes);
    *tooLong = false;
    while (!line.endsWith('\n') && !file.atEnd()) {
        *tooLong = true;
        if (sink)
            sink->write(line);
        line = file.readLine(kMaxLineBytes);
    }
    if (*tooLong) {
        if (sink)
            sink->write(line);
        return QByteArray();
    }
    return line;
}

// The record of a spool line for that store.
bool recordOf(const QByteArray &line, const QString &store, UpdateRecord *record)
{
    const QJsonObject entry = QJsonDocument::fromJson(line).object();
    return entry.value(QLatin1String("store")).toString() == store &&
           Records::fromJson(entry.value(QLatin1String("record")).toObject(), record);
}

} // namespace

RecordSpool::RecordSpool(const QString &path) : m_path(path) {}

bool RecordSpool::add(const QString &store, const UpdateRecord &record, QString *error)
{
    const auto failed = [&](const QString &why) {
        *error = tr("本机暂存文件 %1 无法写入：%2").arg(m_path, why);
        return false;
    };
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath()))
        return failed(tr("无法建立文件夹"));
    QLockFile lock(m_path + QStringLiteral(".lock"));
    if (!lock.tryLock(int(kLockWait.count())))
        return failed(tr("文件被占用"));
    QFile file(m_path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append))
        return failed(file.errorString());
    const qint64 size = file.size();
    QJsonObject entry;
    entry.insert(QStringLiteral("store"), store);
    entry.insert(QStringLiteral("record"), Records::toJson(record));
    QByteArray line = QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n';
    // A line cut by a crash is ended first, so that this one stays whole.
    char last = '\n';
    if (size > 0 && (!file.seek(size - 1) || !file.getChar(&last)))
        return failed(file.errorString());
    if (last != '\n')
        line.prepend('\n');
    if (file.write(line) != line.size() || !file.flush() || ::fsync(file.handle()) != 0) {
        const QString why = file.errorString();
        file.resize(size); // no half line left behind
        return failed(why);
    }
    return true;
}

QList<UpdateRecord> RecordSpool::pending(const QString &store, int max) const
{
    QList<UpdateRecord> records;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return records;
    while (records.size() < max && !file.atEnd()) {
        bool tooLong = false;
        const QByteArray line = nextLine(file, &tooLong);
        UpdateRecord record;
        if (!tooLong && recordOf(line, store, &record))
            records << record;
    }
    return records;
}

bool RecordSpool::remove(const QString &store, const QSet<QString> &ids, QString *error)
{
    const auto failed = [&](const QString &why) {
        *error = tr("本机暂存文件 %1 无法更新：%2").arg(m_path, why);
        return false;
    };
    QLockFile lock(m_path + QStringLiteral(".lock"));
    if (!lock.tryLock(int(kLockWait.count())))
        return failed(tr("文件被占用"));
    QFile in(m_path);
    if (!in.open(QIODevice::ReadOnly))
        return in.exists() ? failed(in.errorString()) : true;
    QSaveFile out(m_path);
    if (!out.open(QIODevice::WriteOnly))
        return failed(out.errorString());
    while (!in.atEnd()) {
        bool tooLong = false;
        QByteArray line = nextLine(in, &tooLong, &out);
        UpdateRecord record;
        if (tooLong || (recordOf(line, store, &record) && ids.contains(record.id)))
            continue;
        if (!line.endsWith('\n'))
            line += '\n';
        out.write(line);
    }
    in.close();
    if (out.pos() == 0) {
        out.cancelWriting();
        return QFile::remove(m_path) || failed(tr("无法删除"));
    }
    return out.commit() || failed(out.errorString());
}
