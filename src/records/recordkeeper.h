#pragma once

#include "records/recordstore.h"
#include "records/updaterecord.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <memory>
#include <mutex>

class QThread;
class RecordWriter;
struct KeeperLink;
struct RecordJob;

// What a front end holds to record its updates: appending never keeps the caller longer than
// kAppendLimit. The store is written on a thread of the keeper's own, through its own
// connection; a record that the store does not take in time (server down or hung, file locked,
// disk full, a store from a newer program) goes to the spool beside the default database. The
// spool is written to the store when the keeper starts and every minute after, and a record that
// reaches the store twice (late, and again from the spool) is kept once.
class RecordKeeper : public QObject
{
    Q_OBJECT

public:
    // The longest an append holds its caller.
    static constexpr std::chrono::milliseconds kAppendLimit{2000};

    // The keeper's waits; the defaults are the real ones, tests shorten them through
    // setTimingsForTesting before making a keeper.
    struct Timings
    {
        // How long an append waits for the store before it spools; the spool's own lock wait
        // and write fit in what is left of kAppendLimit.
        std::chrono::milliseconds storeWait{1500};
        // How often the spool is written to the store while the keeper runs.
        std::chrono::milliseconds flushInterval{60000};
        // How long the destructor waits for a store that does not answer.
        std::chrono::milliseconds shutdownWait{2000};
    };
    static void setTimingsForTesting(const Timings &timings);

    enum class Written { Stored, Spooled, Lost };
    struct Result
    {
        Written written = Written::Lost;
        QString message; // why it was spooled or lost (Chinese); empty when stored
    };

    explicit RecordKeeper(const QString &url,
                          const QString &spoolPath = RecordStore::defaultSpoolPath(),
                          QObject *parent = nullptr);
    ~RecordKeeper() override;

    Result append(const UpdateRecord &record);

    // The store's URL without password, as the spool and the messages name it.
    QString storeName() const { return m_storeName; }
    QString spoolPath() const { return m_spoolPath; }

public Q_SLOTS:
    // Writes the spool to the store now (on the keeper's thread; the call returns at once).
    void flushSpool();

Q_SIGNALS:
    // A pass over the spool ended: stored records reached the store, waiting are left (counted
    // up to 500).
    void spoolFlushed(int stored, int waiting);
    // The store cannot be opened or written (Chinese, without password).
    void storeProblem(const QString &message);

private:
    std::shared_ptr<KeeperLink> m_link;
    QString m_spoolPath;
    QString m_storeName;
    QThread *m_thread = nullptr;
    RecordWriter *m_writer = nullptr;
    std::mutex m_mutex;
    std::shared_ptr<RecordJob> m_overdue; // an append that outlived its wait and still runs
};
