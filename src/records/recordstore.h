#pragma once

#include "records/storeurl.h"
#include "records/updaterecord.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariantList>

// Which records a query takes; empty fields take every record.
struct RecordFilter
{
    QString unitSerial; // the unit's own serial number, exactly
    QString port;
    QString outcome;     // "success", "failed", ...
    QString imageSha256; // lower-case hexadecimal
    QDateTime fromUtc;   // started at or after
    QDateTime untilUtc;  // started before
};

// The order of a query: newest first by default. Records equal in the column follow by their
// start time in the same direction.
struct RecordOrder
{
    enum Column { Time, Port, Unit, Version, Image, Result, Duration };
    Column column = Time;
    bool ascending = false;
};

// The update records in one store, through one database connection on the thread that opened it
// (a connection is never shared between threads: each thread opens its own RecordStore). All SQL
// of the program lives in this folder. Opening makes a SQLite file and its folders on first use
// and brings the tables to this program's version.
class RecordStore
{
public:
    RecordStore();
    ~RecordStore();
    RecordStore(const RecordStore &) = delete;
    RecordStore &operator=(const RecordStore &) = delete;

    // Opens the store at url (see StoreUrl); false with errorString() when it cannot be used.
    bool open(const QString &url);
    bool open(const StoreUrl &url);
    // SQLite: keep at most this much of the file in memory (set before open; 0: SQLite's own
    // default of 2 MiB). A connection that only appends reads no page twice.
    void setPageCacheKiB(int kib) { m_pageCacheKiB = kib; }
    // False for a store made by a newer program that this one must not write to.
    bool isWritable() const { return m_writable; }
    // Why the last operation failed (Chinese), naming the store by its URL without password;
    // empty after one that succeeded.
    QString errorString() const { return m_error; }
    StoreUrl url() const { return m_url; }

    // Writes the records in one transaction; a record whose id the store has already is left as
    // it is. A store whose connection was lost is opened again first.
    bool append(const QList<UpdateRecord> &records);
    bool append(const UpdateRecord &record) { return append(QList<UpdateRecord>{record}); }

    // The first limit records the filter takes, in order, after the place *after names (from
    // the start when it is empty or null); *after then names the last record returned, so that
    // the next call gives the next page.
    QList<UpdateRecord> query(const RecordFilter &filter, const RecordOrder &order, int limit,
                              QVariantList *after = nullptr);
    // How many records the filter takes; -1 when the store cannot be read.
    qint64 count(const RecordFilter &filter);
    // The ports that occur in the records, sorted.
    QStringList ports();

    // The per-user SQLite file that both programs use unless told otherwise, and its spool.
    static QString defaultDatabasePath();
    static QString defaultSpoolPath();
    static QString defaultUrl();
    // Empty when the url can be opened here; else why not (a bad URL, or the Qt SQL driver it
    // needs is missing, naming the Debian package). Opens nothing.
    static QString unusableReason(const StoreUrl &url);

private:
    bool connect();
    bool migrate();
    bool exec(const QString &sql);
    void fail(const QString &what, const QString &detail);

    QString m_connectionName;
    StoreUrl m_url;
    bool m_open = false;
    bool m_writable = false;
    QString m_error;
    QString m_readOnlyReason;
    int m_pageCacheKiB = 0;
};
