#pragma once

#include "records/updaterecord.h"

#include <QList>
#include <QSet>
#include <QString>

#include <chrono>

// The local file where records wait while their store cannot be written: one JSON line per
// record, {"store": URL without password, "record": {...}}, appended and synced one at a time, so
// that a crash loses at most the line being written. A record leaves the spool only after its
// store has it. Several threads and processes may use one spool: a lock file beside it serialises
// them, each holding it only for one append or one rewrite.
class RecordSpool
{
public:
    explicit RecordSpool(const QString &path);

    QString path() const { return m_path; }

    // Appends the record for the store; false with error when the spool cannot be written either.
    bool add(const QString &store, const UpdateRecord &record, QString *error);
    // Up to max records waiting for the store, oldest first. Lines that are no record (cut by a
    // crash, or edited by hand) are skipped and kept.
    QList<UpdateRecord> pending(const QString &store, int max) const;
    // Drops the store's records with these ids; the file is replaced atomically, and removed when
    // nothing is left in it.
    bool remove(const QString &store, const QSet<QString> &ids, QString *error);

    // How long an append or a rewrite waits for another one to finish.
    static constexpr std::chrono::milliseconds kLockWait{400};

private:
    QString m_path;
};
