#pragma once

// Dialog: the main window. It holds every widget, the connection state, the update flag, the
// command history and the settings, and talks to the SerialWorker only through signals.
//
// Where the members are defined, one file per subsystem, all beside this header:
//   dialog.cpp                construction, wiring, worker thread shutdown, close, Escape
//   dialog_layout.cpp         setupUi, cards, painted icons
//   dialog_connection.cpp     connect/disconnect, refreshUiState, LED, toast placement, resize
//   dialog_settings.cpp       settings, default geometry, restore and on-screen check
//   dialog_records.cpp        the record of each update, the store, the history view
//   dialog_log.cpp            log entries, trimming, save, copy, clear, context menu, toast
//   dialog_console.cpp        command console, history, history menu, key handling
//   dialog_theme.cpp          the window's style sheet from the palette
//   dialog_firmware.cpp       image validation, browse, drag and drop
//   dialog_updateflow.cpp     update start, progress, result
//   dialog_portscan.cpp       serial port discovery
//   dialog_readback.cpp       the device's identity on connect, the read-back after an update
// The rules they apply (log markup, history, image checks, progress arithmetic, read-back, theme)
// live below the window in console/, update/, ui/ and device/, where other front ends use them.

#include "app/windowgeometry.h"
#include "ui/states.h"
#include "device/deviceidentity.h"
#include "records/updaterecord.h"
#include "update/portdiscovery.h"
#include "update/firmwarerules.h"
#include "update/readback.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QRect>
#include <QStringList>

#include <functional>
#include <optional>

class QCompleter;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSettings;
class QStatusBar;
class QStringListModel;
class QThread;
class QTimer;
class DropOverlay;
class FlatComboBox;
class LogView;
class RecordKeeper;
class SerialWorker;
class UpdateProgressBar;

class Dialog : public QDialog
{
    Q_OBJECT

public:
    // The connection state and the log level under the window's own names.
    using SerialPortState = Connection::State;
    static constexpr SerialPortState Disconnected = Connection::Disconnected;
    static constexpr SerialPortState Connecting = Connection::Connecting;
    static constexpr SerialPortState Connected = Connection::Connected;
    static constexpr SerialPortState Disconnecting = Connection::Disconnecting;
    using LogLevel = Log::Level;
    static constexpr LogLevel Info = Log::Info;
    static constexpr LogLevel Command = Log::Command;
    static constexpr LogLevel Response = Log::Response;
    static constexpr LogLevel Error = Log::Error;
    static constexpr LogLevel Success = Log::Success;
    static constexpr LogLevel Warning = Log::Warning;

    explicit Dialog(QWidget *parent = nullptr);
    ~Dialog() override;

    // The one sink for every message meant for the user.
    void logMessage(const QString &message, LogLevel level);

    // Seam for tests: where the list of serial ports comes from (the system's by default).
    static void setPortEnumerator(PortEnumerator enumerator);
    // Test hook: the waits of the read-back after an update.
    void setReadBackTimingForTesting(const ReadBack::Timing &timing);

Q_SIGNALS:
    void requestConnect(const QString &portName);
    void requestDisconnect();
    void requestUpdate(const QString &firmwarePath);
    void requestAbort();
    void requestSetMaxFirmwareSize(int bytes);
    void requestSendCustomCommand(const QString &cmd);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private Q_SLOTS:
    void browse();
    void toggleConnection();
    void updateFirmware();
    void scanSerialPorts();
    void clearLog();
    void deleteSelectedLog();
    void onConnected();
    void onDisconnected();
    void onConnectionFailed(const QString &error);
    void onUpdateProgress(int bytesSent, int totalBytes);
    void onUpdateSuccess();
    void onUpdateFailed(const QString &error);
    void onWorkerLog(const QString &message);
    void onBaudRateInfo(int baudRate);
    void sendCustomCommand();
    void onCustomCommandResponse(const QString &response);

private:
    // --- frame and worker thread (dialog.cpp) ---
    void setupConnections();
    // Stops the worker thread; the reason of a failure the worker reported while stopping an
    // update (null when it reported none).
    QString cleanupThread(int timeoutMs);

    // --- layout (dialog_layout.cpp) ---
    void setupUi();

    // --- connection control and UI state (dialog_connection.cpp) ---
    void refreshUiState();
    void updateSerialPortState(SerialPortState state);
    void updateStatus(const QString &text);
    void setConnectionLedColor(const QColor &color);
    void positionToast();
    // Shows the status text, cut to the label's width (the whole text in the tooltip).
    void fitStatusText();
    // The listed port that is selected, or the name or path the user typed.
    QString selectedPortName() const;

    // --- settings and geometry (dialog_settings.cpp) ---
    void loadSettings();
    void saveSettings();
    void applyDefaultGeometry();
    void restoreWindowGeometry();
    void ensureOnScreen();
    // Seam for tests: where the screen areas come from (the real screens by default).
    static void setScreenProvider(ScreenProvider provider);
    static ScreenProvider &screenProvider();

    // --- update records (dialog_records.cpp) ---
    // The store's URL from the settings ("recordsUrl"), the per-user default when absent.
    QString recordsUrl() const;
    void setupRecords();
    // Opens the history view, or raises the one already open.
    void showRecordHistory();
    // The record of an update from its confirmation on; written when the attempt ends.
    void beginRecord(const QString &port, const QString &path, const QByteArray &image,
                     const QString &checkReason);
    void recordIdentification(const QString &identification, const QByteArray &startCommand);
    void recordFailure(const QString &reason);
    void recordSuccess();
    void recordReadBack(const ReadBack::Outcome &outcome, const QString &told);
    // The read-back ends without an outcome because the user acts; the record says so.
    void stopReadBack();
    // The window closes: the attempt still open is recorded as it stands.
    void recordAtClose(const QString &workerReason);
    void writeRecord();
    void noteRecordProblem(const QString &message);
    // The history view, when open, shows what the store has now.
    void refreshRecordHistory();

    // --- log panel (dialog_log.cpp) ---
    void queueLogMessage(const QString &message, LogLevel level);
    void applyLogPalette();
    void setupLogContextMenu();
    void saveLog();
    bool writeLogFile(const QString &path);
    void copyLog();
    void updateLogActions();
    void showToast(const QString &text);

    // --- console and history (dialog_console.cpp) ---
    void loadHistory();
    void saveHistory();
    void showHistoryMenu();
    void populateHistoryMenu();
    // Hands one command to the worker; its echo and reply are logged when the reply arrives.
    void dispatchCommand(const QString &command);

    // --- theme (dialog_theme.cpp) ---
    void applyGlobalStyle();

    // --- image selection (dialog_firmware.cpp) ---
    bool validateFirmwareFile(const QString &path);
    int firmwareSizeLimit() const;
    void acceptFirmwareFile(const QString &path);
    // A path typed or pasted into the field, checked once typing has paused or on Return.
    void checkTypedPath();
    void showDropOverlay();
    void hideDropOverlay();

    // --- update flow (dialog_updateflow.cpp) ---
    // The start button while an update runs: asks, then stops the update through the worker.
    void cancelUpdate();
    // The result step 500 ms after the worker's report.
    void presentResult(bool success, const QString &error);

    // --- device identity and read-back (dialog_readback.cpp) ---
    // The window's own "*idn?" queries, sent like console commands but never echoed.
    enum class QuietQuery { None, Identity, ReadBack };
    void setupReadBack();
    void askIdentity();
    void sendQuietQuery(QuietQuery kind);
    // Takes a reply to the window's own query.
    void takeQuietReply(QuietQuery kind, const QString &response);
    // Sends what waits behind the reply that just came: the window's query first, then the
    // user's commands, or drops the user's commands when the console cannot be used.
    void sendNextCommand();
    void dropQueuedCommands();
    void showIdentity();
    void startReadBack();
    void onReadBackConnect(const QString &port);
    void onReadBackPortLost();
    void onReadBackFinished(const ReadBack::Outcome &outcome);
    void presentReadBack(const ReadBack::Outcome &outcome);
    // What the window tells about a read-back outcome, and in which colour.
    QString readBackText(const ReadBack::Outcome &outcome, LogLevel *level) const;
    // Runs step now, or after the success once it is shown.
    void tellAfterSuccess(std::function<void()> step);
    // The last update's outcome, kept in the status bar until the user acts.
    void showOutcome(const QString &text);

    // --- port discovery (dialog_portscan.cpp) ---
    static PortEnumerator &portEnumerator();
    void fillPortSelector(const QList<PortListing> &ports);
    // Selects the port by its system name, or shows it as typed when it is not listed.
    void selectPort(const QString &name);
    void updatePortPopupWidth();

    // Widgets, in the window's order.
    QFrame *m_serialCard = nullptr;
    FlatComboBox *m_portCombo = nullptr;
    QPushButton *m_connectButton = nullptr;
    QFrame *m_firmwareCard = nullptr;
    QLineEdit *m_pathEdit = nullptr;
    QPushButton *m_browseButton = nullptr;
    QPushButton *m_startButton = nullptr;
    UpdateProgressBar *m_progressBar = nullptr;
    QFrame *m_logCard = nullptr;
    QFrame *m_logPanel = nullptr;
    LogView *m_logView = nullptr;
    QPushButton *m_clearButton = nullptr;
    QPushButton *m_copyButton = nullptr;
    QPushButton *m_saveButton = nullptr;
    QLabel *m_logToast = nullptr;
    QTimer *m_toastTimer = nullptr;
    DropOverlay *m_dropOverlay = nullptr;
    QPushButton *m_historyButton = nullptr;
    QLineEdit *m_cmdEdit = nullptr;
    QPushButton *m_sendButton = nullptr;
    QStringList m_commandHistory;
    // Commands entered while another one still waits for its reply, sent in order after it.
    QStringList m_commandQueue;
    QMenu *m_historyMenu = nullptr;
    QLabel *m_statusLabel = nullptr;
    QString m_statusText; // the status label's whole text, before eliding
    QStatusBar *m_statusBar = nullptr;
    QLabel *m_baudLabel = nullptr;
    QLabel *m_deviceLabel = nullptr; // the connected device's identity
    QTimer *m_portScanTimer = nullptr;
    QTimer *m_pathCheckTimer = nullptr; // typing in the path field has paused
    QString m_checkedPath;              // the path the last check was about
    QString m_refusedPath;              // the field's path when a check refused it
    QString m_lastBrowseFolder;         // where the file dialog last chose a file
    QSettings *m_settings = nullptr;
    QThread *m_workerThread = nullptr;
    SerialWorker *m_worker = nullptr;

    QRect m_defaultGeometry;
    SerialPortState m_connectionState = Disconnected;
    bool m_updateInProgress = false;
    bool m_cancelRequested = false; // the user cancelled the running update
    bool m_resultPending = false;   // the worker reported; the result is shown 500 ms later
    bool m_disconnectPending = false; // a port loss reported while that result was pending
    bool m_workerUpdating = false;    // the worker has begun the update and not reported its end
    bool m_commandInFlight = false;
    QString m_pendingCommand;
    QElapsedTimer m_progressClock;     // since the update started
    FirmwareRules::RateEstimate m_rate; // over its progress reports
    int m_historyIndex = -1;
    QString m_historyDraft; // the line being typed when browsing began
    bool m_imeComposing = false;
    QCompleter *m_completer = nullptr;
    QStringListModel *m_historyModel = nullptr;

    // The device and the read-back.
    ReadBack *m_readBack = nullptr;
    DeviceIdentity m_identity;
    bool m_identityPending = false;                // asked on connect, not answered yet
    bool m_startWhenIdentified = false;            // the start button waits for that answer
    QuietQuery m_inFlightQuiet = QuietQuery::None; // the command in flight is the window's query
    QuietQuery m_quietQueued = QuietQuery::None;   // the window's query waits behind a command
    QString m_updatePort;                          // where the running or last update went
    PortListing m_updateListing;                   // how the system listed that port
    DeviceIdentity m_identityBeforeUpdate;
    // What the read-back told while the success was still to be shown, told after it.
    QList<std::function<void()>> m_afterSuccess;
    QString m_outcomeStatus; // the last update's outcome in the status bar, until the user acts

    // The records.
    RecordKeeper *m_recordKeeper = nullptr;
    std::optional<UpdateRecord> m_record; // the attempt not written yet
    QElapsedTimer m_recordClock;          // since its confirmation
    bool m_recordProblemShown = false;    // the store's problem is in the log already

    friend class DialogTestAccess;
};
