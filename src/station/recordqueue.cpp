#include "station/recordqueue.h"

#include <chrono>

using namespace std::chrono_literals;

namespace {
// The destructor's wait when finish() was not called: one append's limit and the keeper's own
// shutdown wait.
constexpr auto kFinishWait = RecordKeeper::kAppendLimit + 2000ms;
} // namespace

// Lives on the queue's thread and owns the keeper there: each record is appended in turn, and
// the keeper ends on the thread it was used on.
class RecordQueueWorker : public QObject
{
    Q_OBJECT

public:
    explicit RecordQueueWorker(std::unique_ptr<RecordKeeper> keeper) : m_keeper(std::move(keeper))
    {
    }

    void write(const UpdateRecord &record)
    {
        if (!m_keeper)
            return;
        const RecordKeeper::Result result = m_keeper->append(record);
        Q_EMIT done(result.written, result.message);
    }
    void close() { m_keeper.reset(); }

Q_SIGNALS:
    void done(RecordKeeper::Written written, const QString &message);

private:
    std::unique_ptr<RecordKeeper> m_keeper;
};

RecordQueue::RecordQueue(const QString &url, QObject *parent)
    : QObject(parent), m_thread(new QThread)
{
    auto keeper = std::make_unique<RecordKeeper>(url);
    m_storeName = keeper->storeName();
    connect(keeper.get(), &RecordKeeper::storeProblem, this, &RecordQueue::storeProblem);
    keeper->moveToThread(m_thread);
    m_thread->setObjectName(QStringLiteral("record queue"));
    m_worker = new RecordQueueWorker(std::move(keeper));
    m_worker->moveToThread(m_thread);
    connect(m_worker, &RecordQueueWorker::done, this,
            [this](RecordKeeper::Written written, const QString &message) {
                --m_pending;
                Q_EMIT appended(written, message);
            });
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->start();
}

RecordQueue::~RecordQueue()
{
    if (!finish(QDeadlineTimer(kFinishWait))) {
        // A store that hangs past every limit: the thread is left to end with the process.
        m_thread->setParent(nullptr);
        return;
    }
    delete m_thread;
}

void RecordQueue::append(const UpdateRecord &record)
{
    if (m_finished)
        return;
    ++m_pending;
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker, record] { worker->write(record); }, Qt::QueuedConnection);
}

bool RecordQueue::finish(QDeadlineTimer deadline)
{
    if (!m_finished) {
        m_finished = true;
        // Queued behind the records handed over before: they are all written first.
        QMetaObject::invokeMethod(
            m_worker,
            [worker = m_worker, thread = m_thread] {
                worker->close();
                thread->quit();
            },
            Qt::QueuedConnection);
    }
    return m_thread->wait(deadline);
}

#include "recordqueue.moc"
