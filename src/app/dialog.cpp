#include "app/dialog.h"

#include "device/serialworker.h"
#include "records/recordkeeper.h"
#include "ui/appicon.h"
#include "ui/widgets.h"

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QCompleter>
#include <QDeadlineTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSemaphore>
#include <QSettings>
#include <QStringListModel>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <memory>

using namespace std::chrono_literals;

namespace {
constexpr auto kPortScanInterval = 2000ms;
constexpr int kCloseDeadlineMs = 10000;
constexpr int kDestructorDeadlineMs = 3000;
// A close during an update gives the worker this long to end it (and tell the device).
constexpr auto kAbortNotice = 2000ms;
// A typed path is checked once typing has paused this long.
constexpr auto kTypingPause = 700ms;
} // namespace

Dialog::Dialog(QWidget *parent)
    : QDialog(parent)
    , m_portScanTimer(new QTimer(this))
    , m_settings(new QSettings(QStringLiteral("YourCompany"), QStringLiteral("YourApp"), this))
    , m_workerThread(new QThread(this))
    , m_worker(new SerialWorker)
    , m_completer(new QCompleter(this))
    , m_historyModel(new QStringListModel(this))
{
    applyGlobalStyle();
    setupUi();
    setupReadBack();
    setupConnections();
    loadHistory();
    setWindowTitle(tr("Orvane固件更新工具"));
    setWindowIcon(appIcon());
    m_portCombo->setFocus(Qt::OtherFocusReason);

    setWindowFlags(Qt::Window | Qt::WindowTitleHint);
    setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint
                   | Qt::WindowCloseButtonHint);

    m_portScanTimer->setInterval(kPortScanInterval);
    connect(m_portScanTimer, &QTimer::timeout, this, &Dialog::scanSerialPorts);
    m_portScanTimer->start();

    setupLogContextMenu();
    loadSettings();
    setupRecords();

    m_worker->moveToThread(m_workerThread);
    connect(m_workerThread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_workerThread->start(QThread::InheritPriority);

    setAcceptDrops(true);
    // Return in a field must not press a button: no button of the window may become the
    // dialog's default, or Return in the path field would open the file dialog or start an update.
    m_connectButton->setAutoDefault(false);
    m_sendButton->setAutoDefault(false);
    const auto buttons = findChildren<QPushButton *>();
    for (QPushButton *button : buttons)
        button->setAutoDefault(false);

    m_cmdEdit->installEventFilter(this);
    m_completer->setModel(m_historyModel);
    m_completer->setCaseSensitivity(Qt::CaseInsensitive);
    m_completer->setCompletionMode(QCompleter::PopupCompletion);
    m_cmdEdit->setCompleter(m_completer);
    m_completer->popup()->installEventFilter(this);

    m_historyMenu = new QMenu(this);
    m_historyMenu->setStyleSheet(QStringLiteral("QMenu { menu-scrollable: 1; }"));

    m_dropOverlay = new DropOverlay(this);
    m_dropOverlay->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_dropOverlay->setAttribute(Qt::WA_NoSystemBackground);
    m_dropOverlay->setFocusPolicy(Qt::NoFocus);
    m_dropOverlay->hide();

    applyDefaultGeometry();
    restoreWindowGeometry();
}

Dialog::~Dialog()
{
    recordAtClose(cleanupThread(kDestructorDeadlineMs));
    // Its thread ends with a bounded wait for a store that does not answer.
    delete m_recordKeeper;
    m_recordKeeper = nullptr;
    saveSettings();
    saveHistory();
    delete m_portScanTimer;
    m_portScanTimer = nullptr;
    delete m_settings;
    m_settings = nullptr;
}

void Dialog::setupConnections()
{
    connect(m_browseButton, &QPushButton::clicked, this, &Dialog::browse);
    connect(m_connectButton, &QPushButton::clicked, this, &Dialog::toggleConnection);
    connect(m_startButton, &QPushButton::clicked, this, &Dialog::updateFirmware);
    // A typed or pasted path: the start button follows at once, the check once typing pauses.
    m_pathCheckTimer->setInterval(kTypingPause);
    connect(m_pathCheckTimer, &QTimer::timeout, this, &Dialog::checkTypedPath);
    connect(m_pathEdit, &QLineEdit::textEdited, this, [this] {
        refreshUiState();
        m_pathCheckTimer->start();
    });
    connect(m_pathEdit, &QLineEdit::returnPressed, this, &Dialog::checkTypedPath);

    connect(this, &Dialog::requestConnect, m_worker, &SerialWorker::connectToPort);
    connect(this, &Dialog::requestDisconnect, m_worker, &SerialWorker::disconnectPort);
    connect(this, &Dialog::requestUpdate, m_worker, &SerialWorker::startUpdate);
    connect(this, &Dialog::requestAbort, m_worker, &SerialWorker::abort);
    connect(this, &Dialog::requestSetMaxFirmwareSize, m_worker,
            &SerialWorker::setMaxFirmwareSize);
    connect(this, &Dialog::requestSendCustomCommand, m_worker, &SerialWorker::sendCustomCommand);

    connect(m_worker, &SerialWorker::connected, this, &Dialog::onConnected);
    connect(m_worker, &SerialWorker::disconnected, this, &Dialog::onDisconnected);
    connect(m_worker, &SerialWorker::connectionFailed, this, &Dialog::onConnectionFailed);
    connect(m_worker, &SerialWorker::progress, this, &Dialog::onUpdateProgress);
    connect(m_worker, &SerialWorker::updateSuccess, this, &Dialog::onUpdateSuccess);
    connect(m_worker, &SerialWorker::updateFailed, this, &Dialog::onUpdateFailed);
    connect(m_worker, &SerialWorker::logMessage, this, &Dialog::onWorkerLog);
    connect(m_worker, &SerialWorker::logWarning, this,
            [this](const QString &message) { queueLogMessage(message, Warning); });
    connect(m_worker, &SerialWorker::errorOccurred, this, [this](const QString &error) {
        // After a successful update a lost line is the device restarting, not an error.
        if (!m_readBack->isRunning())
            logMessage(error, Error);
    });
    connect(m_worker, &SerialWorker::updatePhaseChanged, this, [this] { m_workerUpdating = true; });
    connect(m_worker, &SerialWorker::identified, this,
            [this](const QString &identification, const QByteArray &startCommand) {
                m_identityBeforeUpdate = DeviceIdentity::fromReply(identification);
                m_identity = m_identityBeforeUpdate;
                m_identityPending = false;
                showIdentity();
                recordIdentification(identification, startCommand);
            });
    connect(m_worker, &SerialWorker::baudRateInfo, this, &Dialog::onBaudRateInfo);
    connect(m_worker, &SerialWorker::customCommandResponse, this,
            &Dialog::onCustomCommandResponse);

    connect(m_sendButton, &QPushButton::clicked, this, &Dialog::sendCustomCommand);
    connect(m_historyButton, &QPushButton::clicked, this, &Dialog::showHistoryMenu);
}

QString Dialog::cleanupThread(int timeoutMs)
{
    if (!m_worker)
        return QString();
    // The worker's last word on the update: null for none, empty for a success.
    QString report;
    if (m_updateInProgress) {
        // The worker stops the update and cancels the transfer on the line, so the device does
        // not wait for blocks that never come: give it that moment before its thread is asked to
        // quit. Its report is awaited on the worker's side, so no window event runs meanwhile.
        struct Ending
        {
            QSemaphore done;
            QString report;
        };
        auto ending = std::make_shared<Ending>();
        const QMetaObject::Connection failed = connect(
            m_worker, &SerialWorker::updateFailed, m_worker,
            [ending](const QString &reason) {
                ending->report = reason;
                ending->done.release();
            },
            Qt::DirectConnection);
        const QMetaObject::Connection succeeded = connect(
            m_worker, &SerialWorker::updateSuccess, m_worker,
            [ending] {
                ending->report = QStringLiteral("");
                ending->done.release();
            },
            Qt::DirectConnection);
        Q_EMIT requestAbort();
        // Only an update the worker has begun has a report to wait for; the semaphore orders
        // the worker's write of the report before this read.
        if (m_workerUpdating &&
            ending->done.tryAcquire(1, int(std::chrono::milliseconds(kAbortNotice).count())))
            report = ending->report;
        disconnect(failed);
        disconnect(succeeded);
    }

    m_workerThread->requestInterruption();
    m_workerThread->quit();

    const auto deadline = [timeoutMs] {
        return timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                             : QDeadlineTimer(timeoutMs, Qt::CoarseTimer);
    };
    if (m_workerThread->wait(deadline())) {
        m_worker = nullptr;
        return report;
    }

    m_workerThread->requestInterruption();
    if (!m_workerThread->wait(deadline())) {
        logMessage(tr("工作线程未能及时停止，正在强制终止。"), Error);
        disconnect(m_worker, nullptr, nullptr, nullptr);
        m_workerThread->terminate();
        m_workerThread->wait();
    }
    m_worker = nullptr;
    return report;
}

void Dialog::closeEvent(QCloseEvent *event)
{
    if (m_updateInProgress
        && !runConfirmDialog(this, tr("更新进行中"), {tr("固件更新正在进行中。")},
                             tr("现在关闭可能损坏设备。更新过程中请勿断开设备或关闭电源。"),
                             tr("取消"), tr("仍然关闭"))) {
        event->ignore();
        return;
    }
    recordAtClose(cleanupThread(kCloseDeadlineMs));
    event->accept();
}

void Dialog::keyPressEvent(QKeyEvent *event)
{
    // Escape must never close or reject the main window.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
