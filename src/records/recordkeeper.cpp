#include "records/recordkeeper.h"

#include "records/recordspool.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <condition_variable>

namespace {

// The spool is written to the store in transactions of this many records, one transaction an
// event, so that appends queued meanwhile are not held up behind a long spool.
constexpr int kFlushBatch = 500;
// The keeper's connection only appends: SQLite's default cache (2 MiB) would fill with pages it
// never reads again, and a line that runs for days would see its memory grow by that much.
constexpr int kWriterPageCacheKiB = 256;

static_assert(RecordKeeper::Timings{}.storeWait + RecordSpool::kLockWait <
                  RecordKeeper::kAppendLimit,
              "an append that spools must still end within its limit");

RecordKeeper::Timings &timings()
{
    static RecordKeeper::Timings value;
    return value;
}

} // namespace

// One append handed to the writer thread; the caller waits on it for a bounded time.
struct RecordJob
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool stored = false;
    QString error;
};

// Lets the writer reach its keeper until the keeper is gone.
struct KeeperLink
{
    std::mutex mutex;
    RecordKeeper *keeper = nullptr;
    std::atomic<bool> stopping{false}; // no more flushing: the keeper is going
};

// Lives on the keeper's thread: owns the store's connection, the flush timer and the spool.
class RecordWriter : public QObject
{
public:
    RecordWriter(const StoreUrl &url, const QString &storeName, const QString &spoolPath,
                 std::shared_ptr<KeeperLink> link)
        : m_url(url), m_storeName(storeName), m_spool(spoolPath), m_link(std::move(link))
    {
    }

    void start()
    {
        m_store.setPageCacheKiB(kWriterPageCacheKiB);
        if (!m_store.open(m_url))
            problem(m_store.errorString());
        auto *timer = new QTimer(this);
        timer->setInterval(timings().flushInterval);
        connect(timer, &QTimer::timeout, this, &RecordWriter::flush);
        timer->start();
        flush();
    }

    void write(const UpdateRecord &record, RecordJob *job)
    {
        const bool stored = m_store.append(record);
        std::lock_guard<std::mutex> lock(job->mutex);
        job->finished = true;
        job->stored = stored;
        job->error = stored ? QString() : m_store.errorString();
        job->done.notify_all();
    }

    // One batch from the spool to the store; the next batch follows as an event of its own.
    void flush()
    {
        const QList<UpdateRecord> batch = m_spool.pending(m_storeName, kFlushBatch);
        if (batch.isEmpty() || m_link->stopping)
            return report(0, int(batch.size()));
        if (!m_store.append(batch)) {
            problem(m_store.errorString());
            return report(0, int(batch.size()));
        }
        QSet<QString> ids;
        for (const UpdateRecord &record : batch)
            ids.insert(record.id);
        // Stored but still spooled when this fails: the next pass stores them again, which the
        // store ignores by their ids, and drops them then.
        QString error;
        if (!m_spool.remove(m_storeName, ids, &error)) {
            problem(error);
            return report(0, int(batch.size()));
        }
        const int waiting = int(m_spool.pending(m_storeName, kFlushBatch).size());
        report(int(batch.size()), waiting);
        if (waiting > 0)
            QMetaObject::invokeMethod(this, &RecordWriter::flush, Qt::QueuedConnection);
    }

private:
    void report(int stored, int waiting)
    {
        std::lock_guard<std::mutex> lock(m_link->mutex);
        if (m_link->keeper)
            Q_EMIT m_link->keeper->spoolFlushed(stored, waiting);
    }
    void problem(const QString &message)
    {
        std::lock_guard<std::mutex> lock(m_link->mutex);
        if (m_link->keeper)
            Q_EMIT m_link->keeper->storeProblem(message);
    }

    StoreUrl m_url;
    QString m_storeName;
    RecordStore m_store;
    RecordSpool m_spool;
    std::shared_ptr<KeeperLink> m_link;
};

void RecordKeeper::setTimingsForTesting(const Timings &value)
{
    timings() = value;
}

RecordKeeper::RecordKeeper(const QString &url, const QString &spoolPath, QObject *parent)
    : QObject(parent), m_link(std::make_shared<KeeperLink>()), m_spoolPath(spoolPath)
{
    const StoreUrl parsed = parseStoreUrl(url);
    // A URL that is no store still names the records it spools, so that none is lost.
    m_storeName = parsed.isValid() ? parsed.identity() : maskPassword(url.trimmed());
    m_link->keeper = this;
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("records"));
    m_writer = new RecordWriter(parsed, m_storeName, spoolPath, m_link);
    m_writer->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_writer, &QObject::deleteLater);
    m_thread->start();
    QMetaObject::invokeMethod(
        m_writer, [writer = m_writer] { writer->start(); }, Qt::QueuedConnection);
}

RecordKeeper::~RecordKeeper()
{
    {
        std::lock_guard<std::mutex> lock(m_link->mutex);
        m_link->keeper = nullptr;
    }
    m_link->stopping = true;
    m_thread->quit();
    if (m_thread->wait(QDeadlineTimer(timings().shutdownWait))) {
        delete m_thread;
        return;
    }
    // The writer is stuck in a store that does not answer. What it was writing is spooled
    // already; its thread is left to end with the process.
    qWarning("records: the store %s did not answer; not waiting for it", qPrintable(m_storeName));
}

void RecordKeeper::flushSpool()
{
    QMetaObject::invokeMethod(
        m_writer, [writer = m_writer] { writer->flush(); }, Qt::QueuedConnection);
}

RecordKeeper::Result RecordKeeper::append(const UpdateRecord &record)
{
    QString why;
    std::shared_ptr<RecordJob> overdue;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        overdue = m_overdue;
    }
    bool stuck = false;
    if (overdue) {
        std::lock_guard<std::mutex> lock(overdue->mutex);
        stuck = !overdue->finished;
    }
    if (stuck) {
        // An earlier append still waits for the store: this one would wait behind it.
        why = tr("记录库没有响应");
    } else {
        auto job = std::make_shared<RecordJob>();
        QMetaObject::invokeMethod(
            m_writer, [writer = m_writer, record, job] { writer->write(record, job.get()); },
            Qt::QueuedConnection);
        std::unique_lock<std::mutex> jobLock(job->mutex);
        if (job->done.wait_for(jobLock, timings().storeWait, [&] { return job->finished; })) {
            if (job->stored)
                return {Written::Stored, QString()};
            why = job->error;
        } else {
            why = tr("记录库在 %1 毫秒内没有响应").arg(timings().storeWait.count());
            jobLock.unlock();
            std::lock_guard<std::mutex> lock(m_mutex);
            m_overdue = job;
        }
    }
    QString spoolError;
    if (RecordSpool(m_spoolPath).add(m_storeName, record, &spoolError)) {
        return {
            Written::Spooled,
            tr("记录暂时无法写入记录库（%1），已暂存在 %2，恢复后自动补写").arg(why, m_spoolPath)};
    }
    return {Written::Lost, tr("记录无法写入记录库（%1），也无法暂存：%2").arg(why, spoolError)};
}
