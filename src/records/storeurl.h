#pragma once

#include <QString>

// Where the update records are kept, as read from a store URL:
//   sqlite:///PATH                                   a SQLite file (the default: one per user)
//   postgresql://[USER[:PASSWORD]@][HOST][:PORT][/DBNAME][?host=DIR&sslmode=MODE&service=NAME]
// HOST may be a Unix-socket folder written percent-encoded (%2Frun%2Fpostgresql), or given as the
// host parameter; whatever is left out is libpq's default (PGHOST, PGUSER, ~/.pg_service.conf).
// No widgets, no I/O.
struct StoreUrl
{
    enum class Kind { Invalid, Sqlite, Postgres };

    Kind kind = Kind::Invalid;
    QString error; // why the text is no store URL (Chinese), when Invalid

    QString path; // SQLite: the database file, absolute and clean

    QString user;
    QString password; // only ever from the command line; never shown, stored or spooled
    QString host;     // a name, an address, or a socket folder (starts with '/')
    int port = 0;     // 0: libpq's default
    QString database;
    QString sslMode;
    QString service;

    bool isValid() const { return kind != Kind::Invalid; }
    // The URL written out again without its password: what messages, settings and the spool
    // name it by. Two URLs that differ only in the password name the same store.
    QString identity() const;
};

// Reads a store URL; the result says why when it is none. No widgets, no I/O.
StoreUrl parseStoreUrl(const QString &text);

// The text with the password of a URL in it replaced by "***" (user:***@host, password=***), for
// showing a URL the user typed, parseable or not. No widgets, no I/O.
QString maskPassword(const QString &text);
