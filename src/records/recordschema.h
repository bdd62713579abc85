#pragma once

#include <QStringList>

// The store's tables as numbered migrations. Version k is reached by running step k's statements
// in one transaction after step k-1. Steps only ever add: a table, a column that may be NULL or
// has a default, an index. So a program that knows fewer steps still reads and writes the
// columns it knows; a step that would break such a program raises writableBy to its own number.
// No widgets, no I/O.
namespace RecordSchema {

enum class Dialect { Sqlite, Postgres };

// The newest version this program knows.
int latestVersion();

// The statements of step version (1..latestVersion()).
QStringList migration(int version, Dialect dialect);

// The oldest program version (its latestVersion()) that may still write a database at version.
int writableBy(int version);

// The columns of a record, in the order the store binds and reads them.
const QStringList &recordColumns();

} // namespace RecordSchema
