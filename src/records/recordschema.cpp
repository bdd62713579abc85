#include "records/recordschema.h"

namespace RecordSchema {
namespace {

// Types are written once and spelled per dialect: %INT% 64-bit, %REAL% double.
const char *const kStep1[] = {
    "CREATE TABLE update_records ("
    " id TEXT PRIMARY KEY NOT NULL, started_at TEXT NOT NULL, ended_at TEXT,"
    " station TEXT, program TEXT, program_version TEXT, os_user TEXT,"
    " port TEXT, usb_serial TEXT, vid_pid TEXT,"
    " ident_before TEXT, maker TEXT, model TEXT, unit_serial TEXT, version_before TEXT,"
    " image_name TEXT, image_size %INT%, image_sha256 TEXT, image_check TEXT,"
    " start_command TEXT, outcome TEXT, reason_code TEXT, reason TEXT,"
    " bytes_sent %INT%, duration_ms %INT%, rate_kbps %REAL%)",
};

// The read-back after the update, and the indexes the history's filters need.
const char *const kStep2[] = {
    "ALTER TABLE update_records ADD COLUMN expected_version TEXT",
    "ALTER TABLE update_records ADD COLUMN ident_after TEXT",
    "ALTER TABLE update_records ADD COLUMN version_after TEXT",
    "ALTER TABLE update_records ADD COLUMN version_confirmed INTEGER NOT NULL DEFAULT 0",
    "CREATE INDEX update_records_started ON update_records (started_at)",
    "CREATE INDEX update_records_unit ON update_records (unit_serial, started_at)",
    "CREATE INDEX update_records_port ON update_records (port, started_at)",
    "CREATE INDEX update_records_image ON update_records (image_sha256)",
};

template <std::size_t N> QStringList spelled(const char *const (&statements)[N], Dialect dialect)
{
    const bool pg = dialect == Dialect::Postgres;
    QStringList list;
    for (const char *statement : statements) {
        list << QString::fromLatin1(statement)
                    .replace(QLatin1String("%INT%"),
                             pg ? QLatin1String("BIGINT") : QLatin1String("INTEGER"))
                    .replace(QLatin1String("%REAL%"),
                             pg ? QLatin1String("DOUBLE PRECISION") : QLatin1String("REAL"));
    }
    return list;
}

} // namespace

int latestVersion()
{
    return 2;
}

QStringList migration(int version, Dialect dialect)
{
    switch (version) {
    case 1:
        return spelled(kStep1, dialect);
    case 2:
        return spelled(kStep2, dialect);
    default:
        return {};
    }
}

int writableBy(int version)
{
    return version >= 1 ? 1 : 0;
}

const QStringList &recordColumns()
{
    static const QStringList columns = {
        QStringLiteral("id"),
        QStringLiteral("started_at"),
        QStringLiteral("ended_at"),
        QStringLiteral("station"),
        QStringLiteral("program"),
        QStringLiteral("program_version"),
        QStringLiteral("os_user"),
        QStringLiteral("port"),
        QStringLiteral("usb_serial"),
        QStringLiteral("vid_pid"),
        QStringLiteral("ident_before"),
        QStringLiteral("maker"),
        QStringLiteral("model"),
        QStringLiteral("unit_serial"),
        QStringLiteral("version_before"),
        QStringLiteral("image_name"),
        QStringLiteral("image_size"),
        QStringLiteral("image_sha256"),
        QStringLiteral("image_check"),
        QStringLiteral("start_command"),
        QStringLiteral("outcome"),
        QStringLiteral("reason_code"),
        QStringLiteral("reason"),
        QStringLiteral("bytes_sent"),
        QStringLiteral("duration_ms"),
        QStringLiteral("rate_kbps"),
        QStringLiteral("expected_version"),
        QStringLiteral("ident_after"),
        QStringLiteral("version_after"),
        QStringLiteral("version_confirmed"),
    };
    return columns;
}

} // namespace RecordSchema
