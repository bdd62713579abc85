#include "records/recordstore.h"

#include "records/recordschema.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>

#include <atomic>
#include <chrono>

using namespace std::chrono_literals;
using RecordSchema::Dialect;

namespace {

// A writer waits this long for another process's transaction on the same SQLite file. Callers
// that must not wait so long go through RecordKeeper, which bounds the wait.
constexpr auto kSqliteBusyTimeout = 5000ms;
// libpq's connect_timeout (whole seconds) for a server that does not answer.
constexpr auto kPostgresConnectTimeout = 5s;
// Serialises concurrent first opens of one PostgreSQL database (pg_advisory_xact_lock's key).
constexpr int kMigrationLockKey = 0x0f1a5d;
// The folder is the window's application data folder; fwflash uses the same.
const char kDataFolder[] = "fwupdater";

std::atomic<int> g_connections{0};

QString tr(const char *text)
{
    return QCoreApplication::translate("RecordStore", text);
}

QVariant textValue(QString text)
{
    if (text.isNull())
        return QVariant(QMetaType::fromType<QString>());
    // PostgreSQL takes no NUL in text; one would block the spool for good.
    return text.replace(QChar(0), QChar::ReplacementCharacter);
}

QString textFrom(const QVariant &value)
{
    if (value.isNull())
        return QString();
    const QString text = value.toString().left(Records::kMaxTextChars);
    return text.isNull() ? QStringLiteral("") : text;
}

bool isNumeric(const QString &column)
{
    static const QStringList numeric = {QStringLiteral("image_size"), QStringLiteral("bytes_sent"),
                                        QStringLiteral("duration_ms"), QStringLiteral("rate_kbps"),
                                        QStringLiteral("version_confirmed")};
    return numeric.contains(column);
}

// Text is cut in the query, so that a store written by someone else cannot fill the memory.
QString selectList()
{
    QStringList list;
    for (const QString &column : RecordSchema::recordColumns()) {
        list << (isNumeric(column)
                     ? column
                     : QStringLiteral("substr(%1, 1, %2)").arg(column).arg(Records::kMaxTextChars));
    }
    return list.join(QStringLiteral(", "));
}

QString insertSql()
{
    const QStringList &columns = RecordSchema::recordColumns();
    QStringList marks;
    for (int i = 0; i < columns.size(); ++i)
        marks << QStringLiteral("?");
    return QStringLiteral("INSERT INTO update_records (%1) VALUES (%2) ON CONFLICT (id) DO NOTHING")
        .arg(columns.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")));
}

QList<QVariant> values(const UpdateRecord &r)
{
    return {textValue(r.id),
            textValue(Records::isoUtc(r.startedUtc)),
            textValue(Records::isoUtc(r.endedUtc)),
            textValue(r.station),
            textValue(r.program),
            textValue(r.programVersion),
            textValue(r.osUser),
            textValue(r.port),
            textValue(r.usbSerial),
            textValue(r.vidPid),
            textValue(r.identBefore),
            textValue(r.maker),
            textValue(r.model),
            textValue(r.unitSerial),
            textValue(r.versionBefore),
            textValue(r.imageName),
            r.imageSize,
            textValue(r.imageSha256),
            textValue(r.imageCheck),
            textValue(r.startCommand),
            textValue(r.outcome),
            textValue(r.reasonCode),
            textValue(r.reason),
            r.bytesSent,
            r.durationMs,
            r.rateKBps,
            textValue(r.expectedVersion),
            textValue(r.identAfter),
            textValue(r.versionAfter),
            int(r.versionConfirmed)};
}

UpdateRecord recordFrom(const QSqlQuery &q)
{
    UpdateRecord r;
    int i = 0;
    const auto text = [&] { return textFrom(q.value(i++)); };
    const auto time = [&] {
        return QDateTime::fromString(q.value(i++).toString(), Qt::ISODateWithMs).toUTC();
    };
    r.id = text();
    r.startedUtc = time();
    r.endedUtc = time();
    r.station = text();
    r.program = text();
    r.programVersion = text();
    r.osUser = text();
    r.port = text();
    r.usbSerial = text();
    r.vidPid = text();
    r.identBefore = text();
    r.maker = text();
    r.model = text();
    r.unitSerial = text();
    r.versionBefore = text();
    r.imageName = text();
    r.imageSize = q.value(i++).toLongLong();
    r.imageSha256 = text();
    r.imageCheck = text();
    r.startCommand = text();
    r.outcome = text();
    r.reasonCode = text();
    r.reason = text();
    r.bytesSent = q.value(i++).toLongLong();
    r.durationMs = q.value(i++).toLongLong();
    r.rateKBps = q.value(i++).toDouble();
    r.expectedVersion = text();
    r.identAfter = text();
    r.versionAfter = text();
    r.versionConfirmed = q.value(i++).toInt() != 0;
    return r;
}

// The WHERE clause of a filter and the values it binds, in order.
QString whereClause(const RecordFilter &f, QList<QVariant> *bound)
{
    QStringList terms;
    const auto term = [&](const char *sql, const QVariant &value) {
        terms << QLatin1String(sql);
        *bound << value;
    };
    if (!f.unitSerial.isEmpty())
        term("unit_serial = ?", f.unitSerial);
    if (!f.port.isEmpty())
        term("port = ?", f.port);
    if (!f.outcome.isEmpty())
        term("outcome = ?", f.outcome);
    if (!f.imageSha256.isEmpty())
        term("image_sha256 = ?", f.imageSha256);
    // The times are ISO text in UTC with milliseconds, so they compare as strings.
    if (f.fromUtc.isValid())
        term("started_at >= ?", Records::isoUtc(f.fromUtc));
    if (f.untilUtc.isValid())
        term("started_at < ?", Records::isoUtc(f.untilUtc));
    return terms.isEmpty() ? QString()
                           : QStringLiteral(" WHERE ") + terms.join(QStringLiteral(" AND "));
}

// What a query sorts by: the column's values, then the start time and the id, all in one
// direction, so that the key names a place in the order and the next page starts after it (a
// page costs the same at the end of a long history as at its start). Missing values sort as
// empty.
QStringList sortKey(const RecordOrder &order)
{
    // In the order of RecordOrder::Column: time, port, unit, version, image, result, duration.
    static const QStringList columns[] = {
        {},
        {QStringLiteral("COALESCE(port, '')")},
        {QStringLiteral("COALESCE(model, '')"), QStringLiteral("COALESCE(unit_serial, '')")},
        {QStringLiteral("COALESCE(version_before, '')"),
         QStringLiteral("COALESCE(version_after, '')")},
        {QStringLiteral("COALESCE(image_name, '')"), QStringLiteral("COALESCE(image_sha256, '')")},
        {QStringLiteral("COALESCE(outcome, '')"), QStringLiteral("COALESCE(reason, '')")},
        {QStringLiteral("COALESCE(duration_ms, 0)")},
    };
    const int index = qBound(0, int(order.column), int(std::size(columns)) - 1);
    return columns[index] + QStringList{QStringLiteral("started_at"), QStringLiteral("id")};
}

} // namespace

RecordStore::RecordStore()
    : m_connectionName(QStringLiteral("fwrecords-%1").arg(g_connections.fetch_add(1)))
{
}

RecordStore::~RecordStore()
{
    if (QSqlDatabase::contains(m_connectionName)) {
        QSqlDatabase::database(m_connectionName, false).close();
        QSqlDatabase::removeDatabase(m_connectionName);
    }
}

QString RecordStore::defaultDatabasePath()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QLatin1String(kDataFolder) + QStringLiteral("/records.sqlite"));
}

QString RecordStore::defaultSpoolPath()
{
    return QFileInfo(defaultDatabasePath()).dir().filePath(QStringLiteral("records-spool.jsonl"));
}

QString RecordStore::defaultUrl()
{
    StoreUrl url;
    url.kind = StoreUrl::Kind::Sqlite;
    url.path = defaultDatabasePath();
    return url.identity();
}

QString RecordStore::unusableReason(const StoreUrl &url)
{
    if (!url.isValid())
        return url.error;
    if (url.kind == StoreUrl::Kind::Sqlite &&
        !QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        return tr("缺少 Qt 的 SQLite 驱动（QSQLITE），请安装 Debian 软件包 libqt6sql6-sqlite");
    if (url.kind == StoreUrl::Kind::Postgres &&
        !QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
        return tr("缺少 Qt 的 PostgreSQL 驱动（QPSQL），请安装 Debian 软件包 libqt6sql6-psql");
    return QString();
}

bool RecordStore::open(const QString &url)
{
    return open(parseStoreUrl(url));
}

bool RecordStore::open(const StoreUrl &url)
{
    if (QSqlDatabase::contains(m_connectionName)) {
        QSqlDatabase::database(m_connectionName, false).close();
        QSqlDatabase::removeDatabase(m_connectionName);
    }
    m_url = url;
    m_open = false;
    m_writable = false;
    m_error.clear();
    return connect();
}

void RecordStore::fail(const QString &what, const QString &detail)
{
    m_error = tr("记录库 %1 %2：%3").arg(m_url.identity(), what, detail.simplified());
}

bool RecordStore::exec(const QString &sql)
{
    const QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    if (!db.isOpen()) { // the driver closes a connection the server dropped
        fail(tr("出错"), tr("连接已断开"));
        return false;
    }
    QSqlQuery query(db);
    if (query.exec(sql))
        return true;
    fail(tr("出错"), query.lastError().text());
    return false;
}

bool RecordStore::connect()
{
    if (m_open)
        return true;
    if (const QString reason = unusableReason(m_url); !reason.isEmpty()) {
        m_error = reason;
        return false;
    }
    const bool sqlite = m_url.kind == StoreUrl::Kind::Sqlite;
    QSqlDatabase db =
        QSqlDatabase::contains(m_connectionName)
            ? QSqlDatabase::database(m_connectionName, false)
            : QSqlDatabase::addDatabase(
                  sqlite ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL"), m_connectionName);
    if (sqlite) {
        if (!QDir().mkpath(QFileInfo(m_url.path).absolutePath())) {
            fail(tr("无法打开"), tr("无法建立文件夹 %1").arg(QFileInfo(m_url.path).absolutePath()));
            return false;
        }
        db.setDatabaseName(m_url.path);
        db.setConnectOptions(
            QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kSqliteBusyTimeout.count()));
    } else {
        db.setHostName(m_url.host);
        if (m_url.port > 0)
            db.setPort(m_url.port);
        db.setDatabaseName(m_url.database);
        db.setUserName(m_url.user);
        db.setPassword(m_url.password);
        // The driver hands these to libpq as they are; every value was checked by the parser.
        QStringList options = {
            QStringLiteral("connect_timeout=%1").arg(kPostgresConnectTimeout.count()),
            QStringLiteral("application_name=%1")
                .arg(QCoreApplication::applicationName().isEmpty()
                         ? QStringLiteral("fwrecords")
                         : QCoreApplication::applicationName())};
        if (!m_url.sslMode.isEmpty())
            options << QStringLiteral("sslmode=") + m_url.sslMode;
        if (!m_url.service.isEmpty())
            options << QStringLiteral("service=") + m_url.service;
        db.setConnectOptions(options.join(QLatin1Char(';')));
    }
    if (!db.open()) {
        fail(tr("无法打开"), db.lastError().text());
        return false;
    }
    m_open = true;
    // Several programs write one file at once: readers never block the writer, and a commit is
    // on disk before it returns.
    if ((sqlite && !(exec(QStringLiteral("PRAGMA journal_mode=WAL")) &&
                     exec(QStringLiteral("PRAGMA synchronous=FULL")) &&
                     (m_pageCacheKiB <= 0 ||
                      exec(QStringLiteral("PRAGMA cache_size=-%1").arg(m_pageCacheKiB))))) ||
        !migrate()) {
        db.close();
        m_open = false;
        return false;
    }
    return true;
}

bool RecordStore::migrate()
{
    QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    const bool pg = m_url.kind == StoreUrl::Kind::Postgres;
    const Dialect dialect = pg ? Dialect::Postgres : Dialect::Sqlite;
    const int latest = RecordSchema::latestVersion();
    int version = -1;
    int writableBy = 0;
    const auto readVersion = [&] {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("SELECT version, writable_by FROM schema_version")))
            return false;
        const bool found = q.next();
        version = found ? q.value(0).toInt() : -1;
        writableBy = found ? q.value(1).toInt() : 0;
        return true;
    };
    // Most opens find the tables up to date and take no lock.
    if (!readVersion() || version < latest) {
        for (;;) {
            const bool began =
                exec(pg ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE")) &&
                (!pg ||
                 (exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kMigrationLockKey))
                  // No notice that the table exists, on the user's terminal.
                  && exec(QStringLiteral("SET LOCAL client_min_messages = warning")))) &&
                exec(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version"
                                    " (version INTEGER NOT NULL, writable_by INTEGER NOT NULL)"));
            bool ok = began && readVersion();
            if (ok && version < 0) {
                version = 0;
                ok = exec(QStringLiteral("INSERT INTO schema_version VALUES (0, 0)"));
            }
            if (ok && version >= latest) {
                if (!exec(QStringLiteral("COMMIT")))
                    return false;
                break;
            }
            const int next = version + 1;
            const QStringList statements = RecordSchema::migration(next, dialect);
            for (const QString &statement : statements)
                ok = ok && exec(statement);
            ok = ok &&
                 exec(QStringLiteral("UPDATE schema_version SET version = %1, writable_by = %2")
                          .arg(next)
                          .arg(RecordSchema::writableBy(next))) &&
                 exec(QStringLiteral("COMMIT"));
            if (!ok) {
                const QString error = m_error;
                exec(QStringLiteral("ROLLBACK"));
                m_error = error;
                return false;
            }
        }
    }
    m_writable = writableBy <= latest;
    if (!m_writable) {
        m_readOnlyReason = tr("记录库 %1 由较新的程序建立（格式版本 %2），本程序只认识到版本 %3："
                              "可以查看，但不写入；新记录暂存在本机，请更新本程序")
                               .arg(m_url.identity())
                               .arg(version)
                               .arg(latest);
    }
    return true;
}

bool RecordStore::append(const QList<UpdateRecord> &records)
{
    m_error.clear();
    if (!connect())
        return false;
    if (!m_writable) {
        m_error = m_readOnlyReason;
        return false;
    }
    if (records.isEmpty())
        return true;
    const bool pg = m_url.kind == StoreUrl::Kind::Postgres;
    bool ok = exec(pg ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"));
    if (ok) {
        QSqlQuery query(QSqlDatabase::database(m_connectionName, false));
        ok = query.prepare(insertSql());
        for (int i = 0; ok && i < records.size(); ++i) {
            const QList<QVariant> bound = values(records[i]);
            for (int k = 0; k < bound.size(); ++k)
                query.bindValue(k, bound[k]);
            ok = query.exec();
        }
        if (!ok)
            fail(tr("无法写入"), query.lastError().text());
    }
    ok = ok && exec(QStringLiteral("COMMIT"));
    if (!ok) {
        const QString error = m_error;
        exec(QStringLiteral("ROLLBACK"));
        m_error = error;
        // A lost server connection is opened again on the next call.
        QSqlDatabase::database(m_connectionName, false).close();
        m_open = false;
    }
    return ok;
}

QList<UpdateRecord> RecordStore::query(const RecordFilter &filter, const RecordOrder &order,
                                       int limit, QVariantList *after)
{
    m_error.clear();
    QList<UpdateRecord> records;
    if (!connect())
        return records;
    QList<QVariant> bound;
    QString where = whereClause(filter, &bound);
    const QStringList key = sortKey(order);
    const QLatin1String direction(order.ascending ? "ASC" : "DESC");
    if (after && after->size() == key.size()) {
        QStringList marks;
        for (const QVariant &value : std::as_const(*after)) {
            marks << QStringLiteral("?");
            bound << value;
        }
        where += (where.isEmpty() ? QStringLiteral(" WHERE ") : QStringLiteral(" AND ")) +
                 QStringLiteral("(%1) %2 (%3)")
                     .arg(key.join(QStringLiteral(", ")),
                          order.ascending ? QLatin1String(">") : QLatin1String("<"),
                          marks.join(QStringLiteral(", ")));
    }
    const QString sql = QStringLiteral("SELECT %1, %2 FROM update_records%3 ORDER BY %4 LIMIT %5")
                            .arg(selectList(), key.join(QStringLiteral(", ")), where,
                                 key.join(QLatin1Char(' ') + direction + QStringLiteral(", ")) +
                                     QLatin1Char(' ') + direction)
                            .arg(qMax(0, limit));
    QSqlQuery q(QSqlDatabase::database(m_connectionName, false));
    q.setForwardOnly(true);
    q.prepare(sql);
    for (int i = 0; i < bound.size(); ++i)
        q.bindValue(i, bound[i]);
    if (!q.exec()) {
        fail(tr("无法读取"), q.lastError().text());
        return records;
    }
    const int columns = int(RecordSchema::recordColumns().size());
    while (q.next()) {
        records << recordFrom(q);
        if (after) {
            after->clear();
            for (int i = 0; i < key.size(); ++i)
                after->append(q.value(columns + i));
        }
    }
    return records;
}

qint64 RecordStore::count(const RecordFilter &filter)
{
    m_error.clear();
    if (!connect())
        return -1;
    QList<QVariant> bound;
    QSqlQuery q(QSqlDatabase::database(m_connectionName, false));
    q.prepare(QStringLiteral("SELECT COUNT(*) FROM update_records") + whereClause(filter, &bound));
    for (int i = 0; i < bound.size(); ++i)
        q.bindValue(i, bound[i]);
    if (!q.exec() || !q.next()) {
        fail(tr("无法读取"), q.lastError().text());
        return -1;
    }
    return q.value(0).toLongLong();
}

QStringList RecordStore::ports()
{
    m_error.clear();
    QStringList list;
    if (!connect())
        return list;
    QSqlQuery q(QSqlDatabase::database(m_connectionName, false));
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT DISTINCT substr(port, 1, 256) FROM update_records"
                               " WHERE port IS NOT NULL ORDER BY 1 LIMIT 1000"))) {
        fail(tr("无法读取"), q.lastError().text());
        return list;
    }
    while (q.next())
        list << q.value(0).toString();
    return list;
}
