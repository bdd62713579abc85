#pragma once

// What every test of the window shares: access to its private parts, the fake port list, the
// store, image files, drops and a user who answers the window's modal dialogs.

#include "app/dialog.h"
#include "console/logview.h"
#include "device/serialworker.h"
#include "records/recordstore.h"
#include "testimage.h"
#include "testsettings.h"
#include "ui/widgets.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QDateTime>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QStringListModel>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

Q_DECLARE_METATYPE(Dialog::SerialPortState)
Q_DECLARE_METATYPE(Dialog::LogLevel)

// The serial ports the system lists in these tests.
inline QList<PortListing> g_ports;

// Call from initTestCase: private settings and the fake port list instead of the real ones.
inline void useTestEnvironment(const QList<PortListing> &ports = {{"ttyFW0", "Test adapter"}})
{
    usePrivateSettingsFolder();
    g_ports = ports;
    Dialog::setPortEnumerator([] { return g_ports; });
}

inline QSettings store()
{
    return QSettings(QStringLiteral("YourCompany"), QStringLiteral("YourApp"));
}

// The update records in the store at url, newest first.
inline QList<UpdateRecord> recordsIn(const QString &url)
{
    RecordStore records;
    return records.open(url) ? records.query({}, {}, 100) : QList<UpdateRecord>();
}

// The message of a log paragraph, without its time stamp.
inline QString messageOf(const QTextBlock &block)
{
    static const QRegularExpression stamp(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\]\u00A0"));
    return block.text().remove(stamp);
}

// The character format of a log paragraph's message (its last fragment).
inline QTextCharFormat messageFormat(const QTextBlock &block)
{
    QTextCharFormat format;
    for (auto it = block.begin(); !it.atEnd(); ++it)
        format = it.fragment().charFormat();
    return format;
}

class DialogTestAccess
{
public:
    explicit DialogTestAccess(Dialog &dialog) : d(dialog) {}

    FlatComboBox *portSelector() const { return d.m_portCombo; }
    QPushButton *connectButton() const { return d.m_connectButton; }
    QLineEdit *pathField() const { return d.m_pathEdit; }
    QPushButton *browseButton() const { return d.m_browseButton; }
    QPushButton *startButton() const { return d.m_startButton; }
    UpdateProgressBar *progressBar() const { return d.m_progressBar; }
    QFrame *logPanel() const { return d.m_logPanel; }
    LogView *logView() const { return d.m_logView; }
    QTextDocument *log() const { return d.m_logView->document(); }
    QString logText() const { return d.m_logView->toPlainText(); }
    // The log's messages, one an entry, without their time stamps.
    QStringList logLines() const
    {
        QStringList lines;
        if (log()->isEmpty())
            return lines;
        for (QTextBlock block = log()->begin(); block.isValid(); block = block.next())
            lines << messageOf(block);
        return lines;
    }
    QList<QPushButton *> footerButtons() const
    {
        return {d.m_saveButton, d.m_copyButton, d.m_clearButton};
    }
    QLabel *toast() const { return d.m_logToast; }
    QTimer *toastTimer() const { return d.m_toastTimer; }
    DropOverlay *dropOverlay() const { return d.m_dropOverlay; }
    QLineEdit *commandField() const { return d.m_cmdEdit; }
    QPushButton *historyButton() const { return d.m_historyButton; }
    QPushButton *sendButton() const { return d.m_sendButton; }
    QMenu *historyMenu() const { return d.m_historyMenu; }
    QWidget *completionList() const { return d.m_completer->popup(); }
    QStringList history() const { return d.m_commandHistory; }
    QStringList completions() const { return d.m_historyModel->stringList(); }
    int historyIndex() const { return d.m_historyIndex; }
    bool inFlight() const { return d.m_commandInFlight; }
    QLabel *statusLabel() const { return d.m_statusLabel; }
    QString status() const { return d.m_statusLabel->text(); }
    QString selectedPort() const { return d.selectedPortName(); }
    bool updating() const { return d.m_updateInProgress; }
    QLabel *baudLabel() const { return d.m_baudLabel; }
    QTimer *portScanTimer() const { return d.m_portScanTimer; }
    QThread *workerThread() const { return d.m_workerThread; }
    SerialWorker *worker() const { return d.m_worker; }
    Dialog::SerialPortState state() const { return d.m_connectionState; }

    void setState(Dialog::SerialPortState state) { d.updateSerialPortState(state); }
    // Sets the update flag the way the update flow does, then refreshes.
    void setUpdating(bool on)
    {
        d.m_updateInProgress = on;
        d.refreshUiState();
    }
    void refresh() { d.refreshUiState(); }
    bool validate(const QString &path) { return d.validateFirmwareFile(path); }
    void browse() { d.browse(); }
    void startUpdate() { d.updateFirmware(); }
    void progress(int sent, int total) { d.onUpdateProgress(sent, total); }
    void success() { d.onUpdateSuccess(); }
    void failure(const QString &error) { d.onUpdateFailed(error); }
    void portLost() { d.onDisconnected(); }
    void connected() { d.onConnected(); }
    void toggleConnection() { d.toggleConnection(); }
    void showHistory() { d.showRecordHistory(); }
    QLabel *deviceLabel() const { return d.m_deviceLabel; }
    void scan() { d.scanSerialPorts(); }
    static void setScreens(ScreenProvider p) { Dialog::setScreenProvider(std::move(p)); }
    void updateStatus(const QString &text) { d.updateStatus(text); }
    void reportBaudRate(int baud) { d.onBaudRateInfo(baud); }

    bool writeLogFile(const QString &path) { return d.writeLogFile(path); }
    void copyLog() { d.copyLog(); }
    void clearLog() { d.clearLog(); }
    void deleteSelectedLog() { d.deleteSelectedLog(); }
    void showToast(const QString &text) { d.showToast(text); }

    // Commands then go nowhere; the test answers them itself through respond().
    void detachWorkerCommands()
    {
        QObject::disconnect(&d, &Dialog::requestSendCustomCommand, d.m_worker, nullptr);
    }
    void sendCustomCommand() { d.sendCustomCommand(); }
    void respond(const QString &response) { d.onCustomCommandResponse(response); }
    void populateHistoryMenu() { d.populateHistoryMenu(); }

    // The format of the first log message that contains needle; invalid when none does.
    QTextCharFormat logFormatOf(const QString &needle) const
    {
        for (QTextBlock block = log()->begin(); block.isValid(); block = block.next()) {
            if (messageOf(block).contains(needle))
                return messageFormat(block);
        }
        return {};
    }

    // Colour at the centre of the status LED on the connect button, as the button shows it in its
    // current (normal or disabled) mode.
    QColor ledColour() const
    {
        const QIcon::Mode mode = d.m_connectButton->isEnabled() ? QIcon::Normal : QIcon::Disabled;
        const QImage image =
            d.m_connectButton->icon().pixmap(d.m_connectButton->iconSize(), mode).toImage();
        return image.pixelColor(image.width() / 2, image.height() / 2);
    }

private:
    Dialog &d;
};

// A file of size bytes that starts with start (a plausible vector table by default), then zeros.
inline QString makeFile(const QTemporaryDir &dir, const QString &name, qint64 size,
                        QByteArray start = QByteArray())
{
    if (start.isEmpty() && size >= ImageCheck::kVectorBytes)
        start = plausibleVectorTable(size);
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(start.left(size)) < 0 || !file.resize(size))
        qFatal("cannot create %s", qPrintable(file.fileName()));
    return file.fileName();
}

// Answers the next modal window, from its own event loop, while the returned poll lives.
[[nodiscard]] inline std::unique_ptr<QTimer> answerNextModal(std::function<void(QWidget *)> answer)
{
    auto poll = std::make_unique<QTimer>();
    QTimer *raw = poll.get();
    QObject::connect(raw, &QTimer::timeout, raw, [raw, answer] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            raw->stop();
            answer(modal);
        }
    });
    constexpr int kPollMs = 10;
    raw->start(kPollMs);
    return poll;
}

// Saves a picture into $FW_TEST_ARTIFACTS (the system's temporary folder without it).
inline void saveArtifact(const QPixmap &picture, const QString &name)
{
    const QString folder = qEnvironmentVariable("FW_TEST_ARTIFACTS", QDir::tempPath());
    QDir().mkpath(folder);
    if (picture.save(QDir(folder).filePath(name)))
        qInfo("rendered to %s", qPrintable(QDir(folder).filePath(name)));
}

// The window with a modal box over it, as the user sees them.
inline QPixmap grabWithModal(QWidget *window, QWidget *box)
{
    QPixmap shot = window->grab();
    QPainter(&shot).drawPixmap(box->mapToGlobal(QPoint()) - window->mapToGlobal(QPoint()),
                               box->grab());
    return shot;
}

// Runs action (a start) and answers the confirmation it opens, also one that opens a moment
// later (a start that waits for the device's identity); returns what the confirmation showed
// (title, detail lines, notice, warning, the two buttons), empty when none opened. With a render
// name the confirmation over its window is saved as a test artifact.
inline QStringList confirmAfter(const std::function<void()> &action, bool confirm = true,
                                const QString &render = QString())
{
    constexpr int kLateModalMs = 5000;
    QStringList texts;
    const auto poll = answerNextModal([&texts, confirm, render](QWidget *box) {
        if (!render.isEmpty() && box->parentWidget())
            saveArtifact(grabWithModal(box->parentWidget()->window(), box), render);
        for (const char *name : {"confirmTitle", "confirmText", "confirmNotice", "confirmDanger",
                                 "confirmCancel", "confirmOk"}) {
            const auto parts = box->findChildren<QWidget *>(QString::fromLatin1(name));
            for (const QWidget *part : parts)
                texts << part->property("text").toString();
        }
        if (auto *button = box->findChild<QPushButton *>(confirm ? "confirmOk" : "confirmCancel"))
            button->click();
        else
            box->close(); // not the confirmation
    });
    action();
    // Empty when none came: the caller judges.
    [[maybe_unused]] const bool shown =
        QTest::qWaitFor([&texts] { return !texts.isEmpty(); }, kLateModalMs);
    return texts;
}

inline QStringList startUpdate(Dialog &d, bool confirm = true)
{
    return confirmAfter([&d] { DialogTestAccess(d).startUpdate(); }, confirm);
}
