#include "app/dialog.h"

#include "app/historydialog.h"
#include "production/unitrecord.h"
#include "records/attemptfacts.h"
#include "records/recordkeeper.h"
#include "records/recordstore.h"

#include <QFileInfo>
#include <QSettings>

#include <utility>

namespace {
// Read only: a URL with a password is given on fwflash's command line, never stored here.
const QString kRecordsUrlKey = QStringLiteral("recordsUrl");
const QString kProgram = QStringLiteral("fwupdater");
} // namespace

QString Dialog::recordsUrl() const
{
    const QString url = m_settings->value(kRecordsUrlKey).toString().trimmed();
    return url.isEmpty() ? RecordStore::defaultUrl() : url;
}

void Dialog::setupRecords()
{
    // The keeper opens the store on its own thread and writes what was spooled meanwhile.
    m_recordKeeper = new RecordKeeper(recordsUrl(), RecordStore::defaultSpoolPath(), this);
    connect(m_recordKeeper, &RecordKeeper::storeProblem, this, &Dialog::noteRecordProblem);
    connect(m_recordKeeper, &RecordKeeper::spoolFlushed, this, [this](int stored) {
        if (stored > 0) {
            m_recordProblemShown = false;
            refreshRecordHistory();
        }
    });
}

void Dialog::showRecordHistory()
{
    // A closed view is on its way out (it deletes itself on close): a new one is made.
    auto *history = findChild<HistoryDialog *>();
    if (!history || !history->isVisible()) {
        history = new HistoryDialog(recordsUrl(), this);
        history->setAttribute(Qt::WA_DeleteOnClose);
    }
    history->show();
    history->raise();
    history->activateWindow();
}

void Dialog::refreshRecordHistory()
{
    const auto views = findChildren<HistoryDialog *>();
    for (HistoryDialog *history : views) {
        if (history->isVisible())
            history->refresh();
    }
}

void Dialog::beginRecord(const QString &port, const QString &path, const QByteArray &image,
                         const QString &checkReason)
{
    m_record = Records::startRecord(kProgram);
    m_recordClock.start();
    Records::setPort(&*m_record, port, m_updateListing);
    Records::setImage(&*m_record, QFileInfo(path).fileName(), image.size(),
                      Production::sha256Hex(image), checkReason);
}

void Dialog::recordIdentification(const QString &identification, const QByteArray &startCommand)
{
    if (!m_record)
        return;
    Records::setIdentification(&*m_record, identification);
    m_record->startCommand = Production::startCommandText(startCommand);
}

void Dialog::recordFailure(const QString &reason)
{
    if (!m_record)
        return;
    Records::setWorkerResult(&*m_record, reason);
    writeRecord();
}

void Dialog::recordSuccess()
{
    if (!m_record)
        return;
    // Written when the read-back ends.
    Records::setWorkerResult(&*m_record, QString());
    m_record->bytesSent = m_record->imageSize;
}

void Dialog::recordReadBack(const ReadBack::Outcome &outcome, const QString &told)
{
    if (!m_record)
        return;
    Records::setReadBack(&*m_record, outcome, told);
    writeRecord();
}

void Dialog::stopReadBack()
{
    if (m_readBack->isRunning() && m_record) {
        Records::setInterrupted(&*m_record, tr("确认新版本前用户已停止等待"));
        writeRecord();
    }
    m_readBack->stop();
}

void Dialog::recordAtClose(const QString &workerReport)
{
    if (!m_record)
        return;
    // What the worker said while it stopped, else how far the attempt got.
    if (m_record->outcome.isNull() && !workerReport.isNull())
        Records::setWorkerResult(&*m_record, workerReport);
    if (m_record->outcome.isNull())
        Records::setInterrupted(&*m_record, tr("更新进行中窗口已关闭"));
    else if (m_record->outcome == QLatin1String("success")) // delivered, not confirmed
        Records::setInterrupted(&*m_record, tr("确认新版本前窗口已关闭"));
    writeRecord();
}

void Dialog::writeRecord()
{
    if (!m_record || !m_recordKeeper)
        return;
    UpdateRecord record = *std::exchange(m_record, std::nullopt);
    Records::setEnd(&record, m_recordClock.elapsed(), record.bytesSent, m_rate.kbps());
    // Holds the window at most RecordKeeper::kAppendLimit; a store that cannot take the record
    // in time leaves it in the spool.
    const RecordKeeper::Result result = m_recordKeeper->append(record);
    switch (result.written) {
    case RecordKeeper::Written::Stored:
        m_recordProblemShown = false;
        refreshRecordHistory();
        break;
    case RecordKeeper::Written::Spooled:
        noteRecordProblem(result.message);
        break;
    case RecordKeeper::Written::Lost:
        logMessage(result.message, Error);
        break;
    }
}

void Dialog::noteRecordProblem(const QString &message)
{
    // Once until the store works again: it is retried every minute, and every record would
    // repeat it.
    if (std::exchange(m_recordProblemShown, true))
        return;
    logMessage(message, Warning);
}
