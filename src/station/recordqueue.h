#pragma once

#include "records/recordkeeper.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QThread>

class RecordQueueWorker;

// Appends records through a RecordKeeper on a thread of its own, in order, so that a store that
// takes its time (a synced commit, a server that hangs until the keeper spools) never holds the
// station's window: the window hands a record over and hears later how it was written.
class RecordQueue : public QObject
{
    Q_OBJECT

public:
    explicit RecordQueue(const QString &url, QObject *parent = nullptr);
    // Finishes the records still queued, by finish()'s deadline at the latest.
    ~RecordQueue() override;

    void append(const UpdateRecord &record);
    // Records handed over and not yet written.
    int pending() const { return m_pending; }
    // Writes what is queued and stops the thread; false when the deadline came first (the rest
    // is then left to the thread, which ends with the process).
    bool finish(QDeadlineTimer deadline);
    // The store's URL without password.
    QString storeName() const { return m_storeName; }

Q_SIGNALS:
    // A record was written: stored, or spooled or lost with the keeper's message (Chinese).
    void appended(RecordKeeper::Written written, const QString &message);
    // The store cannot be opened or written (the keeper's words).
    void storeProblem(const QString &message);

private:
    QString m_storeName;
    QThread *m_thread = nullptr;
    RecordQueueWorker *m_worker = nullptr;
    int m_pending = 0;
    bool m_finished = false;
};
